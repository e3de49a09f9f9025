#include <windows.h>
#include <shlwapi.h>

#include <stdint.h>
#include <stdio.h>

#include "tests/doubles/repair_double.h"

namespace {

HMODULE g_self = nullptr;

}  // namespace

#if !defined(REPAIR_DOUBLE_WITHOUT_ENTRY)
extern "C" __declspec(dllexport) int32_t WINAPI do505(int32_t first, int32_t second) {
  wchar_t logPath[MAX_PATH] = {};
  wchar_t modulePath[MAX_PATH] = {};
  DWORD logLength = GetEnvironmentVariableW(REPAIR_DOUBLE_LOG_VARIABLE, logPath, MAX_PATH);
  if (logLength == 0 || logLength >= MAX_PATH) {
    return 0;
  }
  GetModuleFileNameW(g_self, modulePath, MAX_PATH);
  wchar_t line[2 * MAX_PATH] = {};
  int lineLength = swprintf(line, 2 * MAX_PATH, L"%d %d %ls\n", static_cast<int>(first),
                            static_cast<int>(second), modulePath);
  char utf8[6 * MAX_PATH] = {};
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, lineLength, utf8, sizeof(utf8), nullptr, nullptr);
  HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, utf8, static_cast<DWORD>(bytes), &written, nullptr);
    CloseHandle(log);
  }
  return 1;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) {
    return TRUE;
  }
  g_self = instance;
#if defined(REPAIR_DOUBLE_REFUSE_IN_VELLIS)
  wchar_t modulePath[MAX_PATH] = {};
  GetModuleFileNameW(instance, modulePath, MAX_PATH);
  if (StrStrIW(modulePath, L"\\vellis\\") != nullptr) {
    return FALSE;
  }
#endif
  return TRUE;
}
