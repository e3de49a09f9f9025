// Planted beside a program under the name netmsg.dll. Were it ever loaded as code, its entry
// would leave this mark in the process's environment.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) SetEnvironmentVariableW(L"ERROBJ_PLANTED_NETMSG_RAN", L"1");
  return TRUE;
}
