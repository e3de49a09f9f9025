#include "launcher/launcher.h"

LONG ReadRegistryString(HKEY key, const wchar_t* valueName, wchar_t* destination, DWORD capacity,
                        DWORD* length) {
  DWORD type = REG_NONE;
  DWORD bytes = capacity * sizeof(wchar_t);
  LONG status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(destination), &bytes);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    return ERROR_INVALID_DATA;
  }
  if (bytes == 0) {
    destination[0] = L'\0';
    *length = 1;
    return ERROR_SUCCESS;
  }
  DWORD characters = bytes / sizeof(wchar_t);
  if (bytes % sizeof(wchar_t) != 0 || destination[characters - 1] != L'\0') {
    return ERROR_INVALID_DATA;
  }
  *length = characters;
  return ERROR_SUCCESS;
}
