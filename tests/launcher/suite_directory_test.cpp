// Where the suite lives: beside the launcher, one level up, or the App Paths value.
#include <gtest/gtest.h>

#include <string>

#include "launcher/launcher.h"
#include "tests/launcher/redirected_machine_key.h"
#include "tests/support/test_support.h"

namespace {

enum ValueKind { NO_KEY, NO_VALUE, RAW_VALUE };

struct RegistryValue {
  ValueKind kind;
  DWORD type;
  std::wstring text;  // stored as its UTF-16 bytes
  int bytesAdjust;    // added to the byte count of text plus its terminator
};

const RegistryValue kNoKey = {NO_KEY, REG_NONE, L"", 0};
const RegistryValue kSuiteValue = {RAW_VALUE, REG_SZ, L"C:\\Registered Suite", 0};

void StoreValue(const CRedirectedMachineKey& machine, const RegistryValue& value) {
  if (value.kind == NO_KEY) {
    return;
  }
  machine.CreateKey(SUITE_APP_PATHS_KEY);
  if (value.kind == NO_VALUE) {
    return;
  }
  if (value.type == REG_DWORD) {
    DWORD number = 42;
    machine.SetRaw(SUITE_APP_PATHS_KEY, SUITE_APP_PATHS_VALUE, REG_DWORD, &number, sizeof(number));
    return;
  }
  // A shortened value is followed by a non-NUL character: the registry (as on Windows) counts
  // a terminator that the caller left out but placed right behind the data.
  std::wstring data = value.text + (value.bytesAdjust < 0 ? L'X' : L'\0');
  int bytes = static_cast<int>(data.size() * sizeof(wchar_t)) + value.bytesAdjust;
  machine.SetRaw(SUITE_APP_PATHS_KEY, SUITE_APP_PATHS_VALUE, value.type, data.c_str(), static_cast<DWORD>(bytes));
}

struct LocationCase {
  const char* name;
  bool besideLauncher;  // tree\suite\vellis\Kordel.exe
  bool oneLevelUp;      // tree\suite\Kordel.exe
  RegistryValue value;
  const wchar_t* expected;  // relative to the tree, or literal when absolute
  bool expectedInTree;
};

TEST(GetSuiteDirectory, FindsTheSuiteBesideThenAboveThenInTheRegistry) {
  const std::wstring longValue(260, L'x');
  const std::wstring longestValue(259, L'x');
  const LocationCase cases[] = {
      {"beside the launcher", true, false, kSuiteValue, L"suite\\vellis", true},
      {"one level up", false, true, kSuiteValue, L"suite", true},
      {"both: beside wins", true, true, kSuiteValue, L"suite\\vellis", true},
      {"neither, REG_SZ value as stored", false, false, {RAW_VALUE, REG_SZ, L"C:\\Suite\\", 0}, L"C:\\Suite\\", false},
      {"REG_EXPAND_SZ is not expanded", false, false,
       {RAW_VALUE, REG_EXPAND_SZ, L"%ProgramFiles%\\Tamsel", 0}, L"%ProgramFiles%\\Tamsel", false},
      {"REG_DWORD", false, false, {RAW_VALUE, REG_DWORD, L"", 0}, L"", false},
      {"259 characters fit", false, false, {RAW_VALUE, REG_SZ, longestValue, 0}, longestValue.c_str(), false},
      {"260 characters do not", false, false, {RAW_VALUE, REG_SZ, longValue, 0}, L"", false},
      {"odd byte count", false, false, {RAW_VALUE, REG_SZ, L"C:\\Suite", -1}, L"", false},
      {"no terminator", false, false, {RAW_VALUE, REG_SZ, L"C:\\Suite", -2}, L"", false},
      {"empty value of 0 bytes", false, false, {RAW_VALUE, REG_SZ, L"", -2}, L"", false},
      {"empty string", false, false, {RAW_VALUE, REG_SZ, L"", 0}, L"", false},
      {"missing value", false, false, {NO_VALUE, REG_NONE, L"", 0}, L"", false},
      {"missing key", false, false, kNoKey, L"", false},
  };
  for (const LocationCase& c : cases) {
    SCOPED_TRACE(c.name);
    CScopedTree tree;
    if (c.besideLauncher) {
      tree.Place(L"suite\\vellis\\Kordel.exe");
    }
    if (c.oneLevelUp) {
      tree.Place(L"suite\\Kordel.exe");
    }
    CRedirectedMachineKey machine;
    StoreValue(machine, c.value);
    std::wstring expected = c.expectedInTree ? tree.Path(c.expected) : std::wstring(c.expected);
    EXPECT_EQ(expected, GetSuiteDirectoryFor(tree.Path(L"suite\\vellis\\ostra505.exe").c_str()));
  }
}

TEST(GetSuiteDirectory, OfTheRunningProgramUsesItsOwnDirectory) {
  // build/bin holds no Kordel.exe in these runs, so the registry decides.
  CRedirectedMachineKey machine;
  machine.SetString(SUITE_APP_PATHS_KEY, SUITE_APP_PATHS_VALUE, L"C:\\Registered");
  ASSERT_FALSE(FileExists(BinaryPath(L"Kordel.exe")));
  EXPECT_EQ(L"C:\\Registered", GetSuiteDirectory());
}

// The real machine registry: a 32-bit program without a view flag reads the 32-bit view. (This
// Wine prefix keeps one App Paths key for both views, so the 64-bit view cannot differ here.)
TEST(GetSuiteDirectory, ReadsTheMachineRegistrysThirtyTwoBitView) {
  CRegistryValueSnapshot value(HKEY_LOCAL_MACHINE, SUITE_APP_PATHS_KEY, SUITE_APP_PATHS_VALUE, KEY_WOW64_32KEY);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, SUITE_APP_PATHS_KEY, 0, nullptr, 0,
                                           KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr));
  const wchar_t text[] = L"C:\\Suite32";
  RegSetValueExW(key, SUITE_APP_PATHS_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
  RegCloseKey(key);
  CScopedTree tree;
  EXPECT_EQ(L"C:\\Suite32", GetSuiteDirectoryFor(tree.Path(L"vellis\\ostra505.exe").c_str()));
}

struct ReaderCase {
  const char* name;
  RegistryValue value;
  DWORD capacity;
  LONG expected;
  DWORD expectedLength;
  const wchar_t* expectedText;
};

TEST(ReadRegistryString, ReportsTheRegistryErrorOrInvalidDataOrTheLength) {
  const ReaderCase cases[] = {
      {"REG_SZ", {RAW_VALUE, REG_SZ, L"abc", 0}, 260, ERROR_SUCCESS, 4, L"abc"},
      {"REG_EXPAND_SZ as stored", {RAW_VALUE, REG_EXPAND_SZ, L"%TEMP%", 0}, 260, ERROR_SUCCESS, 7, L"%TEMP%"},
      {"exactly the capacity", {RAW_VALUE, REG_SZ, L"abc", 0}, 4, ERROR_SUCCESS, 4, L"abc"},
      {"one character too long", {RAW_VALUE, REG_SZ, L"abcd", 0}, 4, ERROR_MORE_DATA, 0, nullptr},
      {"missing", {NO_VALUE, REG_NONE, L"", 0}, 260, ERROR_FILE_NOT_FOUND, 0, nullptr},
      {"REG_DWORD", {RAW_VALUE, REG_DWORD, L"", 0}, 260, ERROR_INVALID_DATA, 0, nullptr},
      {"REG_BINARY", {RAW_VALUE, REG_BINARY, L"abc", 0}, 260, ERROR_INVALID_DATA, 0, nullptr},
      {"odd byte count", {RAW_VALUE, REG_SZ, L"abc", -1}, 260, ERROR_INVALID_DATA, 0, nullptr},
      {"no terminator", {RAW_VALUE, REG_SZ, L"abc", -2}, 260, ERROR_INVALID_DATA, 0, nullptr},
      {"0 bytes", {RAW_VALUE, REG_SZ, L"", -2}, 260, ERROR_SUCCESS, 1, L""},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    CRedirectedMachineKey machine;
    StoreValue(machine, c.value);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, SUITE_APP_PATHS_KEY, 0, KEY_READ, &key));
    wchar_t destination[300];
    wmemset(destination, L'#', 300);
    DWORD length = 0xDEADBEEF;
    EXPECT_EQ(c.expected, ReadRegistryString(key, SUITE_APP_PATHS_VALUE, destination, c.capacity, &length));
    if (c.expectedText != nullptr) {
      EXPECT_EQ(c.expectedLength, length);
      EXPECT_EQ(std::wstring(c.expectedText), destination);
    } else {
      EXPECT_EQ(0xDEADBEEFu, length);
    }
    EXPECT_EQ(L'#', destination[c.capacity]);
    RegCloseKey(key);
  }
}

}  // namespace
