// The demonstration repair library, ostra505.dll: "do505" only says that it was called.
#include <windows.h>

#include <stdint.h>

#include "demo/demo_log.h"

namespace {

HMODULE g_self = nullptr;

}  // namespace

extern "C" __declspec(dllexport) int32_t WINAPI do505(int32_t first, int32_t second) {
  wchar_t modulePath[MAX_PATH] = {};
  GetModuleFileNameW(g_self, modulePath, MAX_PATH);
  DemoNote(L"do505 was called with %d and %d; the repair library ran from %ls.", static_cast<int>(first),
           static_cast<int>(second), modulePath);
  return 1;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_self = instance;
  }
  return TRUE;
}
