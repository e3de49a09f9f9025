// The demonstration suite base library, built as TamselBase.dll. It trusts a file when the
// launcher's own verifier gives it level 2 or 3 with any signature but the signature resource,
// and it answers through entry 10 of the table that "InitLibs" fills.
#include <windows.h>

#include <stdint.h>

#include "demo/demo_log.h"
#include "signcheck/signcheck.h"

namespace {

constexpr uint32_t TABLE_SLOTS = 256;
constexpr uint32_t DIRECT_TRUST_ENTRY = 10;

// The table as the launcher hands it over: slot count in, filled entries out.
struct ENTRYTABLE {
  uint32_t count;
  void* entries[TABLE_SLOTS];
};

const wchar_t* LevelText(int32_t level) {
  switch (level) {
    case TRUST_NONE:
      return L"no maker's signature";
    case TRUST_INVALID:
      return L"a signature that does not verify";
    case TRUST_EXPIRED:
      return L"a valid but expired signature";
    case TRUST_VALID:
      return L"a valid signature";
    default:
      return L"an unknown verdict";
  }
}

const wchar_t* KindText(int32_t kind) {
  switch (kind) {
    case SIGKIND_RECORD1:
      return L"certificate-table record of type 1";
    case SIGKIND_RECORD2:
      return L"certificate-table record of type 2";
    case SIGKIND_RECORD3:
      return L"certificate-table record of type 3";
    case SIGKIND_RESOURCE:
      return L"signature resource";
    case SIGKIND_TRAILING:
      return L"trailing signature block";
    default:
      return L"unknown container";
  }
}

int32_t WINAPI IsFileTrusted(const wchar_t* path, int32_t) {
  uint8_t workBuffer[SIGNCHECK_WORK_BUFFER_SIZE];
  VERIFYINFO info = {};
  info.buffer = workBuffer;
  info.bufferSize = sizeof(workBuffer);
  int32_t level = TRUST_NONE;
  if (VerifyFileSignature(path, &info, &level) == 0) {
    DemoNote(L"TamselBase.dll was asked about %ls: it could not be checked, so it is not trusted.", path);
    return 0;
  }
  bool trusted = (level == TRUST_EXPIRED || level == TRUST_VALID) && info.sign.kind != SIGKIND_RESOURCE;
  if (level == TRUST_NONE) {
    DemoNote(L"TamselBase.dll was asked about %ls: it carries %ls, so it is not trusted.", path, LevelText(level));
  } else {
    DemoNote(L"TamselBase.dll was asked about %ls: it carries %ls (%ls), so it is %ls.", path, LevelText(level),
             KindText(info.sign.kind), trusted ? L"trusted" : L"not trusted");
  }
  return trusted ? 1 : 0;
}

}  // namespace

extern "C" __declspec(dllexport) int32_t WINAPI InitLibs(ENTRYTABLE* table) {
  table->entries[DIRECT_TRUST_ENTRY] = reinterpret_cast<void*>(IsFileTrusted);
  table->count = DIRECT_TRUST_ENTRY + 1;
  DemoNote(L"TamselBase.dll passed the launcher's signature check and was bound (InitLibs filled its table).");
  return 0;
}
