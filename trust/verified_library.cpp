#include "launcher/held_file.h"
#include "trust/trust.h"

int CheckLibrarySignature(const wchar_t* path, int32_t* kind, VERIFYFILEFN verifyFile) {
  *kind = SIGKIND_UNKNOWN;
  uint8_t workBuffer[SIGNCHECK_WORK_BUFFER_SIZE];
  VERIFYINFO info = {};
  info.buffer = workBuffer;
  info.bufferSize = sizeof(workBuffer);
  int32_t level = TRUST_NONE;
  if (verifyFile(path, &info, &level) == 0 || (level != TRUST_EXPIRED && level != TRUST_VALID)) {
    return 0;
  }
  *kind = info.sign.kind;
  return 1;
}

HMODULE LoadVerifiedLibrary(const wchar_t* path, const TRUSTPLATFORM& platform) {
  if (HMODULE present = GetModuleHandleW(path)) {
    wchar_t fullName[MODULE_NAME_CAPACITY] = {};
    DWORD length = GetModuleFileNameW(present, fullName, MODULE_NAME_CAPACITY);
    if (length >= 1 && length < MODULE_NAME_CAPACITY) {
      return LoadLibraryW(fullName);
    }
  }

  // One full path for the check and the load: a relative one would be opened against the
  // current directory by the check but searched for along the library path by the load.
  wchar_t fullPath[LIBRARY_PATH_CAPACITY] = {};
  DWORD resolved = GetFullPathNameW(path, LIBRARY_PATH_CAPACITY, fullPath, nullptr);
  if (resolved == 0 || resolved >= LIBRARY_PATH_CAPACITY) {
    return nullptr;
  }
  if (QuerySelfProtectionOn(*platform.device, GetCurrentProcessId()) != 0) {
    return LoadLibraryW(fullPath);
  }

  CHeldFile held(fullPath);
  if (!held.IsHeld()) {
    return nullptr;
  }
  int32_t kind = SIGKIND_UNKNOWN;
  if (CheckLibrarySignature(fullPath, &kind, platform.verifyFile) == 0 || kind == SIGKIND_RESOURCE ||
      kind == SIGKIND_UNKNOWN) {
    return nullptr;
  }
  return LoadLibraryW(fullPath);
}
