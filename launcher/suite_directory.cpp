#include <shlwapi.h>
#include <strsafe.h>

#include "launcher/launcher.h"

namespace {

// The App Paths value, as stored; empty when the key or a valid string value is missing.
std::wstring ReadSuiteDirectoryValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SUITE_APP_PATHS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return std::wstring();
  }
  wchar_t value[LAUNCHER_PATH_CAPACITY] = {};
  DWORD length = 0;
  LONG status = ReadRegistryString(key, SUITE_APP_PATHS_VALUE, value, LAUNCHER_PATH_CAPACITY, &length);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? std::wstring(value) : std::wstring();
}

}  // namespace

std::wstring GetSuiteDirectoryFor(const wchar_t* modulePath) {
  wchar_t moduleDirectory[LAUNCHER_PATH_CAPACITY] = {};
  StringCchCopyW(moduleDirectory, LAUNCHER_PATH_CAPACITY, modulePath);
  PathRemoveFileSpecW(moduleDirectory);

  wchar_t beside[LAUNCHER_PATH_CAPACITY] = {};
  StringCchCopyW(beside, LAUNCHER_PATH_CAPACITY, moduleDirectory);
  if (PathAppendW(beside, SUITE_MAIN_EXECUTABLE) && PathFileExistsW(beside)) {
    return moduleDirectory;
  }

  // PathAppendW resolves the leading "..", so this names Kordel.exe in the parent directory.
  wchar_t parent[LAUNCHER_PATH_CAPACITY] = {};
  StringCchCopyW(parent, LAUNCHER_PATH_CAPACITY, moduleDirectory);
  if (PathAppendW(parent, L"..\\Kordel.exe") && PathFileExistsW(parent)) {
    PathRemoveFileSpecW(parent);
    return parent;
  }
  return ReadSuiteDirectoryValue();
}

std::wstring GetSuiteDirectory() {
  wchar_t modulePath[LAUNCHER_PATH_CAPACITY] = {};
  GetModuleFileNameW(nullptr, modulePath, LAUNCHER_PATH_CAPACITY);
  return GetSuiteDirectoryFor(modulePath);
}
