#include "errobj/errobj_atom.h"

#include <strsafe.h>

#include <cwchar>

namespace {

constexpr wchar_t kAtomGuid[] = L"{A0972F10-452C-4cd1-904E-B50E394EDE34}";
constexpr wchar_t kManagerGuid[] = L"1830B7BD-F7A3-4c4d-989B-C004DE465EDE";
constexpr size_t kAtomNameCch = 260;
constexpr UINT kFirstStringAtom = 0xC000;
constexpr UINT kLastStringAtom = 0xFFFF;
constexpr size_t kMaxAddressDigits = 8;

bool IsStringAtom(ATOM atom) { return atom >= kFirstStringAtom && atom <= kLastStringAtom; }

// Returns the prefix length, 0 when it cannot be built.
size_t BuildPrefix(DWORD processId, wchar_t (&prefix)[kAtomNameCch]) {
  size_t length = 0;
  if (FAILED(StringCchPrintfW(prefix, kAtomNameCch, L"%ls-%d-%ls:", kAtomGuid,
                              static_cast<int>(processId), kManagerGuid)) ||
      FAILED(StringCchLengthW(prefix, kAtomNameCch, &length))) {
    return 0;
  }
  return length;
}

bool BuildFullName(DWORD processId, const ERROBJSHARED* block, wchar_t (&name)[kAtomNameCch]) {
  return SUCCEEDED(StringCchPrintfW(name, kAtomNameCch, L"%ls-%d-%ls:%x", kAtomGuid,
                                    static_cast<int>(processId), kManagerGuid,
                                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(block))));
}

int HexDigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool ParseAddress(const wchar_t* text, ERROBJSHARED** block) {
  uintptr_t address = 0;
  size_t digits = 0;
  for (; text[digits] != L'\0'; ++digits) {
    const int value = HexDigitValue(text[digits]);
    if (value < 0 || digits == kMaxAddressDigits) return false;
    address = (address << 4) | static_cast<uintptr_t>(value);
  }
  if (digits == 0 || address == 0) return false;
  *block = reinterpret_cast<ERROBJSHARED*>(address);
  return true;
}

}  // namespace

bool FindErrObjBlock(const ERROBJPLATFORM& platform, DWORD processId, ERROBJSHARED** block) {
  wchar_t prefix[kAtomNameCch];
  const size_t prefixLength = BuildPrefix(processId, prefix);
  if (prefixLength == 0) return false;
  wchar_t name[kAtomNameCch];
  for (UINT atom = kFirstStringAtom; atom <= kLastStringAtom; ++atom) {
    const UINT length =
        platform.GetAtomNameW(static_cast<ATOM>(atom), name, static_cast<int>(kAtomNameCch));
    if (length > prefixLength && length < kAtomNameCch &&
        wcsncmp(name, prefix, prefixLength) == 0 && ParseAddress(name + prefixLength, block)) {
      return true;
    }
  }
  return false;
}

bool AddErrObjAtom(const ERROBJPLATFORM& platform, DWORD processId, const ERROBJSHARED* block) {
  wchar_t name[kAtomNameCch];
  return BuildFullName(processId, block, name) && IsStringAtom(platform.AddAtomW(name));
}

bool RemoveErrObjAtom(const ERROBJPLATFORM& platform, DWORD processId, const ERROBJSHARED* block) {
  wchar_t name[kAtomNameCch];
  if (!BuildFullName(processId, block, name)) return false;
  const ATOM atom = platform.FindAtomW(name);
  return IsStringAtom(atom) && platform.DeleteAtom(atom) == 0;
}
