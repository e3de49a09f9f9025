// A netmsg.dll planted beside the program: reporting a network code must not run it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "errobj/errobj.h"
#include "record_support.h"

namespace {

constexpr wchar_t kMark[] = L"ERROBJ_PLANTED_NETMSG_RAN";

bool PlantedModuleRan() { return GetEnvironmentVariableW(kMark, nullptr, 0) != 0; }

std::wstring BesideTheProgram(const wchar_t* fileName) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, length);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + fileName;
}

class PlantedNetmsg : public testing::Test {
 protected:
  void SetUp() override {
    m_planted = BesideTheProgram(L"netmsg.dll");
    ASSERT_TRUE(CopyFileW(BesideTheProgram(L"errobj_planted_netmsg.dll").c_str(),
                          m_planted.c_str(), FALSE));
    SetEnvironmentVariableW(kMark, nullptr);
  }
  void TearDown() override {
    SetEnvironmentVariableW(kMark, nullptr);
    EXPECT_TRUE(DeleteFileW(m_planted.c_str()));
  }
  std::wstring m_planted;
};

TEST_F(PlantedNetmsg, IsNotRunByAReport) {
  // The double works: loaded the ordinary way, the planted copy is found first and runs.
  HMODULE loaded = LoadLibraryW(L"netmsg.dll");
  ASSERT_NE(nullptr, loaded);
  EXPECT_TRUE(PlantedModuleRan());
  FreeLibrary(loaded);
  SetEnvironmentVariableW(kMark, nullptr);

  SetLastError(2102);
  EXPECT_EQ(THREADERROR_SYS, ReportSysError(L"f", 1, nullptr, L"NetQuery()失败"));
  EXPECT_EQ(2102u, GetLastError());
  EXPECT_FALSE(PlantedModuleRan());
  const THREADERRORINFO& r = ThreadRecord();
  EXPECT_EQ(std::wstring(L"netmsg.dll"), r.messageSource);
  EXPECT_EQ(L"NetQuery()失败--" + SystemTextOracle(2102, nullptr), r.message);

  // Named by the caller, the same holds.
  SetLastError(ERROR_ACCESS_DENIED);
  ReportSysError(L"f", 1, L"netmsg.dll", L"t");
  EXPECT_FALSE(PlantedModuleRan());
  EXPECT_EQ(std::wstring(L"netmsg.dll"), ThreadRecord().messageSource);
}

}  // namespace
