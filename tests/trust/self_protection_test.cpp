// The driver query against a driver of the test's making, and against Wine, which has none.
#include <gtest/gtest.h>

#include <string>

#include "trust/trust.h"

namespace {

// What the fake driver does, and what it saw.
struct FAKEDRIVER {
  bool opens;
  bool accepts;
  bool writes;
  uint32_t answer;

  std::wstring openedName;
  DWORD access, share, disposition, flags;
  bool securityOrTemplate;
  DWORD code, inSize, outSize;
  uint32_t processId;
  uint32_t answerOnEntry;
  bool overlapped;
  int closes;
};

FAKEDRIVER g_driver;
HANDLE const kDeviceHandle = reinterpret_cast<HANDLE>(0x5150);

HANDLE WINAPI FakeOpen(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE templateFile) {
  g_driver.openedName = name;
  g_driver.access = access;
  g_driver.share = share;
  g_driver.disposition = disposition;
  g_driver.flags = flags;
  g_driver.securityOrTemplate = security != nullptr || templateFile != nullptr;
  return g_driver.opens ? kDeviceHandle : INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeControl(HANDLE, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                        LPDWORD returned, LPOVERLAPPED overlapped) {
  g_driver.code = code;
  g_driver.inSize = inSize;
  g_driver.outSize = outSize;
  g_driver.processId = *static_cast<uint32_t*>(in);
  g_driver.answerOnEntry = *static_cast<uint32_t*>(out);
  g_driver.overlapped = overlapped != nullptr;
  if (g_driver.writes) {
    *static_cast<uint32_t*>(out) = g_driver.answer;
    *returned = sizeof(uint32_t);
  }
  return g_driver.accepts ? TRUE : FALSE;
}

BOOL WINAPI FakeClose(HANDLE handle) {
  if (handle == kDeviceHandle) {
    ++g_driver.closes;
  }
  return TRUE;
}

const SELFPROTECTIONDEVICE kFakeDevice = {FakeOpen, FakeControl, FakeClose};

struct QueryCase {
  const char* name;
  bool opens, accepts, writes;
  uint32_t answer;
  uint32_t expected;
  int expectedCloses;
};

TEST(QuerySelfProtection, ReturnsTheDriversAnswerOnlyWhenTheRequestSucceeds) {
  const QueryCase cases[] = {
      {"no device", false, false, false, 0, 0, 0},
      {"vouches with 1", true, true, true, 1, 1, 1},
      {"vouches with all bits set", true, true, true, 0xFFFFFFFFu, 0xFFFFFFFFu, 1},
      {"answers no", true, true, true, 0, 0, 1},
      {"accepts but writes nothing", true, true, false, 0, 0, 1},
      {"rejects the request after writing", true, false, true, 1, 0, 1},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(c.name);
    g_driver = FAKEDRIVER{};
    g_driver.opens = c.opens;
    g_driver.accepts = c.accepts;
    g_driver.writes = c.writes;
    g_driver.answer = c.answer;
    g_driver.answerOnEntry = 0xDEADBEEF;
    EXPECT_EQ(c.expected, QuerySelfProtectionOn(kFakeDevice, 0x1234ABCD));
    EXPECT_EQ(c.expectedCloses, g_driver.closes);
    EXPECT_EQ(L"\\\\.\\TamselSelfProtection", g_driver.openedName);
    if (c.opens) {
      EXPECT_EQ(0x0022204Cu, g_driver.code);
      EXPECT_EQ(0x1234ABCDu, g_driver.processId);
      EXPECT_EQ(4u, g_driver.inSize);
      EXPECT_EQ(4u, g_driver.outSize);
      EXPECT_EQ(0u, g_driver.answerOnEntry);
      EXPECT_FALSE(g_driver.overlapped);
    }
  }
}

TEST(QuerySelfProtection, OpensTheDeviceForAttributesOnlySharingReadAndWrite) {
  g_driver = FAKEDRIVER{};
  QuerySelfProtectionOn(kFakeDevice, 1);
  EXPECT_EQ(static_cast<DWORD>(FILE_READ_ATTRIBUTES), g_driver.access);
  EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE), g_driver.share);
  EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), g_driver.disposition);
  EXPECT_EQ(0u, g_driver.flags);
  EXPECT_FALSE(g_driver.securityOrTemplate);
}

TEST(QuerySelfProtection, WithoutTheDriverAnswersNo) {
  EXPECT_EQ(0u, QuerySelfProtection(GetCurrentProcessId()));
}

}  // namespace
