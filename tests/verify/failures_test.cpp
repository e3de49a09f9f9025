// Failures: result 0, the level left as it was, the status named for the cause, and the
// thread's error record where the cause is reported.
#include <windows.h>

#include <string>

#include "errobj/errobj.h"
#include "verify_support.h"

namespace {

TEST_F(VerifyTest, MissingFileIsReportedAsCreateFileFailure) {
  VERIFICATION v;
  CReportWatch reports;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, v.Run(FixturePath("no_such_file.dll")));
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(LEVEL_MARKER, v.level);
  EXPECT_EQ(SIGSTATUS_NONE, v.info.sign.status);
  EXPECT_EQ(KIND_MARKER, v.info.sign.kind);
  EXPECT_EQ(1, reports.count());
  const wchar_t* line = nullptr;
  EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), FormatThreadError(&line));
  ASSERT_NE(nullptr, line);
  const std::wstring record = line;
  EXPECT_NE(std::wstring::npos, record.find(L"|KVCheckCertificate|"));
  EXPECT_NE(std::wstring::npos, record.find(L"|SYS|2|CreateFile()失败"));
}

TEST_F(VerifyTest, FailuresLeaveTheLevelAndNameTheStatus) {
  const char text[] = "MZ is all there is of a header here.";
  const CTempFile notAnImage(std::vector<uint8_t>(text, text + sizeof text - 1));
  const struct {
    const char* name;
    std::wstring path;
    bool noBuffer;
    uint32_t bufferSize;
    int32_t status;
    bool reported;
  } cases[] = {
      {"info without a buffer", FixturePath("entry2.dll"), true, SIGNCHECK_WORK_BUFFER_SIZE,
       SIGSTATUS_NO_BUFFER, false},
      {"info with a buffer of size 0", FixturePath("entry2.dll"), false, 0, SIGSTATUS_NO_BUFFER,
       false},
      {"not a PE image", notAnImage.path(), false, SIGNCHECK_WORK_BUFFER_SIZE, SIGSTATUS_NONE,
       true},
      {"missing file", FixturePath("no_such_file.dll"), false, SIGNCHECK_WORK_BUFFER_SIZE,
       SIGSTATUS_NONE, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VERIFICATION v(c.bufferSize == 0 ? 1 : c.bufferSize);
    if (c.noBuffer) v.info.buffer = nullptr;
    v.info.bufferSize = c.bufferSize;
    CReportWatch reports;
    EXPECT_EQ(0, v.Run(c.path));
    EXPECT_EQ(LEVEL_MARKER, v.level);
    EXPECT_EQ(c.status, v.info.sign.status);
    EXPECT_EQ(KIND_MARKER, v.info.sign.kind);
    EXPECT_EQ(c.bufferSize, v.info.bufferSize);
    EXPECT_EQ(c.reported ? 1 : 0, reports.count() > 0 ? 1 : 0);
  }
}

}  // namespace

// The file ends where the entry's padding should begin. The buffer was large enough, so this is
// a read failure (status 1), not a request for a larger buffer that could never succeed.
TEST_F(VerifyTest, MissingPaddingIsAReadFailureNotABufferTooSmall) {
  std::vector<uint8_t> bytes = ReadFixture("entry_pad5.dll");
  const OWNENTRY entry = FirstOwnEntry("entry_pad5.dll");
  bytes.resize(bytes.size() - (entry.paddedLength - entry.length));
  const CTempFile truncated(bytes);
  VERIFICATION v;
  CReportWatch reports;
  EXPECT_EQ(0, v.Run(truncated.path()));
  EXPECT_EQ(LEVEL_MARKER, v.level);
  EXPECT_EQ(SIGSTATUS_NONE, v.info.sign.status);
  EXPECT_EQ(0u, v.info.entryLength);
  EXPECT_EQ(KIND_MARKER, v.info.sign.kind);
  EXPECT_EQ(1, reports.count());
}
