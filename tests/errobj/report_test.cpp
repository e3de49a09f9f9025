// Reports through the test executable's own manager and the real message tables under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cwchar>
#include <string>

#include "errobj/errobj.h"
#include "record_support.h"

namespace {

constexpr DWORD kLastErrorMarker = 0xDEADBEEF;
constexpr int kErrnoMarker = 77;
constexpr wchar_t kSuccessText[] = L"操作成功完成";
constexpr wchar_t kNoSystemText[] = L"无系统错误信息";

struct SysCase {
  const char* name;
  DWORD lastError;
  int crtErrno;
  const wchar_t* messageSource;
  THREADERRORTYPE category;
  uint32_t code;
  const wchar_t* recordedSource;
  const wchar_t* systemText;    // null: what the system gives for the code
  const wchar_t* oracleModule;  // searched first when the system is asked
};

const wchar_t kLongModuleName[] = L"a-message-module-with-a-long-name.dll";  // 37 characters

TEST(ReportSysError, RecordsCodeSourceAndSystemText) {
  const SysCase cases[] = {
      {"last error 0", 0, kErrnoMarker, nullptr, THREADERROR_SYS, 0, L"", kSuccessText, nullptr},
      {"internet code", 12029, kErrnoMarker, nullptr, THREADERROR_SYS, 12029, L"wininet.dll",
       nullptr, L"wininet.dll"},
      {"first internet code", 12000, kErrnoMarker, nullptr, THREADERROR_SYS, 12000,
       L"wininet.dll", nullptr, L"wininet.dll"},
      {"last internet code", 12175, kErrnoMarker, nullptr, THREADERROR_SYS, 12175,
       L"wininet.dll", nullptr, L"wininet.dll"},
      {"below the internet codes", 11999, kErrnoMarker, nullptr, THREADERROR_SYS, 11999, L"",
       nullptr, nullptr},
      {"above the internet codes", 12176, kErrnoMarker, nullptr, THREADERROR_SYS, 12176, L"",
       nullptr, nullptr},
      {"network code, module absent", 2102, kErrnoMarker, nullptr, THREADERROR_SYS, 2102,
       L"netmsg.dll", nullptr, nullptr},
      {"first network code", 2100, kErrnoMarker, nullptr, THREADERROR_SYS, 2100, L"netmsg.dll",
       nullptr, nullptr},
      {"last network code", 2999, kErrnoMarker, nullptr, THREADERROR_SYS, 2999, L"netmsg.dll",
       nullptr, nullptr},
      {"after the network codes", 3000, kErrnoMarker, nullptr, THREADERROR_SYS, 3000, L"",
       nullptr, nullptr},
      {"message queue facility, module absent", 0xC00E0001, kErrnoMarker, nullptr,
       THREADERROR_SYS, 0xC00E0001, L"mqutil.dll", nullptr, nullptr},
      {"facility 14 without severity", 0x000E0005, kErrnoMarker, nullptr, THREADERROR_SYS,
       0x000E0005, L"mqutil.dll", nullptr, nullptr},
      {"facility bits outside the mask differ", 0x100E0005, kErrnoMarker, nullptr,
       THREADERROR_SYS, 0x100E0005, L"", nullptr, nullptr},
      {"plain Win32 code", ERROR_ACCESS_DENIED, kErrnoMarker, nullptr, THREADERROR_SYS,
       ERROR_ACCESS_DENIED, L"", nullptr, nullptr},
      {"named module", 12029, kErrnoMarker, L"wininet.dll", THREADERROR_SYS, 12029,
       L"wininet.dll", nullptr, L"wininet.dll"},
      {"named module that does not exist", ERROR_ACCESS_DENIED, kErrnoMarker,
       L"no-such-module.dll", THREADERROR_SYS, ERROR_ACCESS_DENIED, L"no-such-module.dll",
       nullptr, nullptr},
      {"named module with a long name", ERROR_ACCESS_DENIED, kErrnoMarker, kLongModuleName,
       THREADERROR_SYS, ERROR_ACCESS_DENIED, L"a-message-module-with-a-long-na", nullptr, nullptr},
      {"named module and code 0", 0, kErrnoMarker, L"wininet.dll", THREADERROR_SYS, 0, L"",
       kSuccessText, nullptr},
      {"runtime error", kLastErrorMarker, ENOENT, L"__crt", THREADERROR_CRT, ENOENT, L"",
       L"No such file or directory", nullptr},
      {"runtime error 0", kLastErrorMarker, 0, L"__crt", THREADERROR_CRT, 0, L"", kSuccessText,
       nullptr},
      {"runtime source is case-sensitive", ERROR_ACCESS_DENIED, kErrnoMarker, L"__CRT",
       THREADERROR_SYS, ERROR_ACCESS_DENIED, L"__CRT", nullptr, nullptr},
  };
  ASSERT_EQ(31u, wcslen(L"a-message-module-with-a-long-na"));
  for (const SysCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring systemText =
        c.systemText != nullptr ? c.systemText : SystemTextOracle(c.code, c.oracleModule);
    errno = c.crtErrno;
    SetLastError(c.lastError);
    EXPECT_EQ(c.category, ReportSysError(L".\\RUZozozUre", 321, c.messageSource, L"ReadFile()失败"));
    EXPECT_EQ(c.lastError, GetLastError());
    EXPECT_EQ(c.crtErrno, errno);
    const THREADERRORINFO& r = ThreadRecord();
    EXPECT_EQ(c.category, r.category);
    EXPECT_EQ(c.code, r.code);
    EXPECT_EQ(0, r.flag);
    EXPECT_EQ(std::wstring(c.recordedSource), r.messageSource);
    EXPECT_EQ(std::wstring(L"RUZozozUre"), r.sourceFile);
    EXPECT_EQ(321, r.line);
    EXPECT_EQ(L"ReadFile()失败--" + systemText, r.message);
  }
}

TEST(ReportSysError, FindsTheInternetTextInItsModule) {
  SetLastError(12029);
  ReportSysError(L"t", 1, nullptr, L"x");
  const std::wstring message = ThreadRecord().message;
  EXPECT_NE(std::wstring(L"x--") + kNoSystemText, message);
  EXPECT_EQ(L"x--" + SystemTextOracle(12029, L"wininet.dll"), message);
  EXPECT_EQ(std::wstring::npos, message.find_first_of(L"\r\n"));
}

struct LengthCase {
  const char* name;
  bool systemError;
  size_t callerLength;
  std::wstring expectedTail;  // what follows the caller's text in the message
  bool callerTextStands;      // false: the message is empty
  int flag;
};

TEST(Reports, ComposeTheMessageWithinItsLength) {
  const LengthCase cases[] = {
      {"system: room for all", true, 200, L"--操作成功完成", true, 0},
      {"system: system text fits exactly", true, 247, L"--操作成功完成", true, 0},
      {"system: system text cut", true, 250, L"--操作成", true, 1},
      {"system: 253 leaves room for the separator only", true, 253, L"--", true, 1},
      {"system: 254 leaves no room for the separator", true, 254, L"", true, 1},
      {"system: 255 stands alone", true, 255, L"", true, 1},
      {"system: 256 does not fit", true, 256, L"", false, 1},
      {"application: 255 stands whole", false, 255, L"", true, 0},
      {"application: 256 keeps its first 255", false, 256, L"", true, 1},
      {"application: 300 keeps its first 255", false, 300, L"", true, 1},
  };
  for (const LengthCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring caller;
    for (size_t i = 0; i < c.callerLength; ++i) caller += static_cast<wchar_t>(L'a' + i % 26);
    SetLastError(0);
    if (c.systemError) {
      EXPECT_EQ(THREADERROR_SYS, ReportSysError(L"f", 1, nullptr, L"%ls", caller.c_str()));
    } else {
      EXPECT_EQ(THREADERROR_APP, ReportAppError(L"f", 1, 9, L"%ls", caller.c_str()));
    }
    const THREADERRORINFO& r = ThreadRecord();
    const std::wstring expected =
        c.callerTextStands ? caller.substr(0, 255) + c.expectedTail : std::wstring();
    EXPECT_EQ(expected, r.message);
    EXPECT_EQ(c.flag, r.flag);
  }
}

TEST(Reports, RecordTheSourceFileAfterItsLastBackslash) {
  const struct {
    const wchar_t* sourceFile;
    const wchar_t* recorded;
  } cases[] = {
      {L".\\RUZozozUre", L"RUZozozUre"},
      {L"KVCheckCertificate", L"KVCheckCertificate"},
      {L"Interface\\DUZA", L"DUZA"},
      {L"c:\\src\\signcheck\\image.cpp", L"image.cpp"},
      {L"trailing\\", L""},
      {L"0123456789012345678901234567890123456789", L"0123456789012345678901234567890"},
      {L"dir\\0123456789012345678901234567890123456789", L"0123456789012345678901234567890"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sourceFile);
    ReportAppError(c.sourceFile, 5, 1, L"t");
    EXPECT_EQ(std::wstring(c.recorded), ThreadRecord().sourceFile);
    SetLastError(0);
    ReportSysError(c.sourceFile, 5, nullptr, L"t");
    EXPECT_EQ(std::wstring(c.recorded), ThreadRecord().sourceFile);
  }
}

TEST(Reports, FormatTheCallersArguments) {
  ReportAppError(L"f", 1, 3, L"%lu entries, %ls, %hs, %d", 4096ul, L"wide", "narrow", -5);
  EXPECT_EQ(std::wstring(L"4096 entries, wide, narrow, -5"), ThreadRecord().message);
}

TEST(Reports, StampTheTimeInUtc) {
  FILETIME before, after, recorded;
  GetSystemTimeAsFileTime(&before);
  ReportAppError(L"f", 1, 3, L"t");
  GetSystemTimeAsFileTime(&after);
  ASSERT_TRUE(SystemTimeToFileTime(&ThreadRecord().time, &recorded));
  // The record keeps milliseconds; compare at that resolution.
  const auto ms = [](const FILETIME& t) {
    return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
  };
  EXPECT_LE(ms(before), ms(recorded));
  EXPECT_GE(ms(after), ms(recorded));
}

// An observer that disturbs the error state and remembers what it was handed.
struct ObserverLog {
  int calls = 0;
  uint32_t code = 0;
  std::wstring text;
};
ObserverLog g_observerLog;

void Clobbering(uint32_t code, const wchar_t* text) {
  ++g_observerLog.calls;
  g_observerLog.code = code;
  g_observerLog.text = text;
  SetLastError(0x1111);
  errno = 99;
}

class ObserverTest : public testing::Test {
 protected:
  void SetUp() override {
    g_observerLog = ObserverLog();
    SetErrorObserver(&Clobbering);
  }
  void TearDown() override { SetErrorObserver(nullptr); }
};

TEST_F(ObserverTest, IsHandedTheLineAndCannotDisturbTheCallersErrorState) {
  const struct {
    const char* name;
    bool systemError;
    const wchar_t* messageSource;
    DWORD lastError;
    int crtErrno;
    uint32_t code;
  } cases[] = {
      {"system error", true, nullptr, ERROR_FILE_NOT_FOUND, kErrnoMarker, ERROR_FILE_NOT_FOUND},
      {"runtime error", true, L"__crt", kLastErrorMarker, EACCES, EACCES},
      {"application error", false, nullptr, kLastErrorMarker, kErrnoMarker, 0x8000FFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_observerLog = ObserverLog();
    SetLastError(c.lastError);
    errno = c.crtErrno;
    if (c.systemError) {
      ReportSysError(L"f", 1, c.messageSource, L"t");
    } else {
      ReportAppError(L"f", 1, c.code, L"t");
    }
    EXPECT_EQ(c.lastError, GetLastError());
    EXPECT_EQ(c.crtErrno, errno);
    EXPECT_EQ(1, g_observerLog.calls);
    EXPECT_EQ(c.code, g_observerLog.code);
    const wchar_t* line = nullptr;
    FormatThreadError(&line);
    EXPECT_EQ(std::wstring(line), g_observerLog.text);
  }
}

TEST_F(ObserverTest, IsEmptiedWithNull) {
  SetErrorObserver(nullptr);
  ReportAppError(L"f", 1, 2, L"t");
  EXPECT_EQ(0, g_observerLog.calls);
}

void Throwing(uint32_t, const wchar_t*) { throw 7; }

TEST(Observer, ThatThrowsDoesNotEscapeTheReport) {
  SetErrorObserver(&Throwing);
  SetLastError(kLastErrorMarker);
  EXPECT_EQ(THREADERROR_APP, ReportAppError(L"f", 1, 2, L"t"));
  EXPECT_EQ(kLastErrorMarker, GetLastError());
  SetErrorObserver(nullptr);
}

std::wstring Date(const SYSTEMTIME& t) {
  wchar_t text[64];
  swprintf(text, 64, L"%04u-%02u-%02u|%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
           t.wMinute, t.wSecond);
  return text;
}

TEST(FormatThreadError, RendersTheRecordLine) {
  const struct {
    const char* name;
    bool systemError;
    DWORD code;
    const wchar_t* text;
    std::wstring expectedFields;  // after the time
  } cases[] = {
      {"application error: empty message source", false, 42, L"bad|record",
       L"KVCheckCertificate|120||APP|42|bad record"},
      {"system error with its module", true, 12029, L"ReadFile()失败",
       L"KVCheckCertificate|120|wininet.dll|SYS|12029|ReadFile()失败--" +
           SystemTextOracle(12029, L"wininet.dll")},
      {"code printed signed", true, 0xC00E0001, L"q",
       L"KVCheckCertificate|120|mqutil.dll|SYS|-1072824319|q--" + SystemTextOracle(0xC00E0001, nullptr)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.systemError) {
      SetLastError(c.code);
      ReportSysError(L".\\KVCheckCertificate", 120, nullptr, L"%ls", c.text);
    } else {
      ReportAppError(L".\\KVCheckCertificate", 120, c.code, L"%ls", c.text);
    }
    const wchar_t* line = nullptr;
    EXPECT_EQ(c.code, FormatThreadError(&line));
    const THREADERRORINFO& r = ThreadRecord();
    EXPECT_EQ(r.textBuffer, line);
    EXPECT_EQ(L"0|" + Date(r.time) + L"|" + c.expectedFields, line);
    EXPECT_EQ(nullptr, wcschr(r.message, L'|'));
  }
}

TEST(FormatThreadError, WithoutAPlaceOnlyReturnsTheCode) {
  ReportAppError(L"f", 1, 1234, L"a|b");
  EXPECT_EQ(1234u, FormatThreadError(nullptr));
  EXPECT_EQ(std::wstring(L"a|b"), ThreadRecord().message);
}

TEST(FormatThreadError, CutsTheLineAndGuardsFieldsOtherModulesWrote) {
  ReportAppError(L"f", 1, 1, L"t");
  THREADERRORINFO& r = ThreadRecord();
  // Widest values, fields without terminators and a category no module writes.
  r.flag = INT32_MIN;
  r.code = 0x80000000;
  r.category = 9;
  r.line = INT32_MIN;
  r.time.wYear = r.time.wMonth = r.time.wDay = 65535;
  r.time.wHour = r.time.wMinute = r.time.wSecond = 65535;
  wmemset(r.sourceFile, L's', ERRINFO_SOURCE_FILE_CCH);
  wmemset(r.messageSource, L'm', ERRINFO_MESSAGE_SOURCE_CCH);
  wmemset(r.message, L'x', ERRINFO_MESSAGE_CCH);
  const std::wstring full = L"-2147483648|65535-65535-65535|65535:65535:65535|" +
                            std::wstring(31, L's') + L"|-2147483648|" + std::wstring(31, L'm') +
                            L"|???|-2147483648|" + std::wstring(255, L'x');
  ASSERT_GT(full.size(), 383u);
  const wchar_t* line = nullptr;
  FormatThreadError(&line);
  EXPECT_EQ(full.substr(0, 383), line);
}

}  // namespace
