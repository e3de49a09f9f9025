// The launcher formats and copies through strsafe.h. These cases pin the contract it relies on:
// capacity checks before any write, truncation that always terminates, and the exact-fit case.
#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kMarker = L'#';

struct PrintfCase {
  const char* name;
  size_t capacity;
  int value;
  HRESULT expected;
  const wchar_t* expectedText;  // null: destination untouched
};

TEST(StringCchPrintfW, MeetsTheBoundedFormatterContract) {
  const PrintfCase cases[] = {
      {"capacity 0 is refused untouched", 0, 815, E_INVALIDARG, nullptr},
      {"capacity above 2147483647 is refused untouched", 2147483648u, 815, E_INVALIDARG, nullptr},
      {"room to spare", 260, 815, S_OK, L"815.dll"},
      {"exactly capacity - 1 characters", 8, 815, S_OK, L"815.dll"},
      {"one character too many", 7, 815, STRSAFE_E_INSUFFICIENT_BUFFER, L"815.dl"},
      {"capacity 1 holds only the terminator", 1, 815, STRSAFE_E_INSUFFICIENT_BUFFER, L""},
      {"largest draw", 260, 32767, S_OK, L"32767.dll"},
  };
  for (const PrintfCase& c : cases) {
    SCOPED_TRACE(c.name);
    wchar_t buffer[300];
    wmemset(buffer, kMarker, 300);
    // The oversized capacity is never written through: the call must refuse it first.
    HRESULT hr = StringCchPrintfW(buffer, c.capacity, L"%d.dll", c.value);
    EXPECT_EQ(c.expected, hr);
    if (c.expectedText == nullptr) {
      EXPECT_EQ(kMarker, buffer[0]);
    } else {
      EXPECT_EQ(std::wstring(c.expectedText), std::wstring(buffer));
    }
  }
}

struct CopyCase {
  const char* name;
  size_t sourceLength;
  HRESULT expected;
  size_t expectedLength;
};

TEST(StringCchCopyW, MeetsTheBoundedCopyContractAt260) {
  const CopyCase cases[] = {
      {"empty", 0, S_OK, 0},
      {"259 characters fit", 259, S_OK, 259},
      {"260 characters are cut to 259", 260, STRSAFE_E_INSUFFICIENT_BUFFER, 259},
      {"much longer", 600, STRSAFE_E_INSUFFICIENT_BUFFER, 259},
  };
  for (const CopyCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring source(c.sourceLength, L'a');
    wchar_t buffer[300];
    wmemset(buffer, kMarker, 300);
    EXPECT_EQ(c.expected, StringCchCopyW(buffer, 260, source.c_str()));
    EXPECT_EQ(c.expectedLength, wcslen(buffer));
    EXPECT_EQ(kMarker, buffer[260]);
  }
}

}  // namespace
