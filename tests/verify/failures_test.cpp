// Failures: result 0, the level left as it was, the status named for the cause, and the
// thread's error record where the cause is reported.
#include <windows.h>

#include <string>

#include "errobj/errobj.h"
#include "verify_support.h"

namespace {

// A file in the temporary folder that is not a PE image; deleted at the end.
class CTextFile {
 public:
  CTextFile() {
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    wchar_t name[MAX_PATH];
    GetTempFileNameW(directory, L"vfy", 0, name);
    m_path = name;
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const char text[] = "MZ is all there is of a header here.";
    DWORD written = 0;
    WriteFile(file, text, sizeof text - 1, &written, nullptr);
    CloseHandle(file);
  }
  ~CTextFile() { DeleteFileW(m_path.c_str()); }
  const std::wstring& path() const { return m_path; }

 private:
  std::wstring m_path;
};

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
  CTextFile notAnImage;
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
