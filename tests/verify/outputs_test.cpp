// What the caller gets back: the record's attributes in its buffer, the parse-only call without
// a level, the call's own buffer without info, and the handshake for an entry too long.
#include <windows.h>

#include <string>

#include "verify_support.h"

namespace {

bool PointsInto(const VERIFICATION& v, const wchar_t* text) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
  return p >= v.buffer.data() && p < v.buffer.data() + v.buffer.size();
}

TEST_F(VerifyTest, AttributesPointIntoTheCallersBuffer) {
  VERIFICATION v;
  ASSERT_EQ(1, v.Run(FixturePath("entry2.dll")));
  ASSERT_EQ(TRUST_VALID, v.level);
  const wchar_t* texts[] = {v.info.sign.text4, v.info.sign.text5, v.info.sign.text6,
                            v.info.sign.text7};
  const wchar_t* expected[] = {L"Tamsel", L"测试签名", L"six", L"seven"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(nullptr, texts[i]) << i;
    EXPECT_TRUE(PointsInto(v, texts[i])) << i;
    EXPECT_EQ(std::wstring(expected[i]), texts[i]);
  }
  EXPECT_EQ(0x1122334455667788u, v.info.sign.value8);
  EXPECT_EQ(0x022E5291FE9D4000u, v.info.sign.expiry);
}

// Without a level the entry is parsed only: no authorization lookup, and no digest, which
// shows on an entry too long for the digest walk (that walk fails the call with a level).
TEST_F(VerifyTest, NullLevelParsesOnly) {
  Authorize(AUTHORIZATION::VALID);
  VERIFICATION parsed;
  ASSERT_EQ(1, parsed.Run(FixturePath("entry1.dll"), true, false));
  EXPECT_EQ(SIGSTATUS_FOUND, parsed.info.sign.status);
  EXPECT_EQ(SIGKIND_RECORD1, parsed.info.sign.kind);
  ASSERT_NE(nullptr, parsed.info.sign.text4);
  EXPECT_EQ(std::wstring(L"Bound"), parsed.info.sign.text4);
  EXPECT_EQ(FirstOwnEntry("entry1.dll").paddedLength, parsed.info.entryLength);
  EXPECT_EQ(0, MachineIdCalls());

  const uint32_t hugeBuffer = FirstOwnEntry("entry_huge.dll").length;
  VERIFICATION hugeParsed(hugeBuffer);
  ASSERT_EQ(1, hugeParsed.Run(FixturePath("entry_huge.dll"), true, false));
  EXPECT_EQ(SIGSTATUS_FOUND, hugeParsed.info.sign.status);
  EXPECT_EQ(SIGKIND_RECORD2, hugeParsed.info.sign.kind);

  // With a level the digest runs and fails: status and length are set, the rest is not copied.
  VERIFICATION hugeVerified(hugeBuffer);
  CReportWatch reports;
  EXPECT_EQ(0, hugeVerified.Run(FixturePath("entry_huge.dll")));
  EXPECT_EQ(LEVEL_MARKER, hugeVerified.level);
  EXPECT_EQ(SIGSTATUS_FOUND, hugeVerified.info.sign.status);
  EXPECT_EQ(FirstOwnEntry("entry_huge.dll").paddedLength, hugeVerified.info.entryLength);
  EXPECT_EQ(KIND_MARKER, hugeVerified.info.sign.kind);
  EXPECT_EQ(1, reports.count());
}

// Containers other than entries are still checked without a level; nothing is handed out.
TEST_F(VerifyTest, NullLevelStillFindsOtherContainers) {
  const struct {
    const char* fixture;
    int32_t kind;
  } cases[] = {{"trailing.exe", SIGKIND_TRAILING}, {"resource.dll", SIGKIND_RESOURCE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    VERIFICATION v;
    ASSERT_EQ(1, v.Run(FixturePath(c.fixture), true, false));
    EXPECT_EQ(SIGSTATUS_FOUND, v.info.sign.status);
    EXPECT_EQ(c.kind, v.info.sign.kind);
  }
}

// Without info the call brings its own 8192-byte buffer.
TEST_F(VerifyTest, NullInfoUsesAnOwnBuffer) {
  const struct {
    const char* fixture;
    int result;
    int32_t level;
  } cases[] = {
      {"entry2.dll", 1, TRUST_VALID},
      {"entry_badpad.dll", 1, TRUST_INVALID},
      {"trailing.exe", 1, TRUST_VALID},
      {"signcheck\\fixture_exe.exe", 1, TRUST_NONE},
      {"entry_long.dll", 0, LEVEL_MARKER},  // longer than the own buffer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    VERIFICATION v;
    EXPECT_EQ(c.result, v.Run(FixturePath(c.fixture), false, true));
    EXPECT_EQ(c.level, v.level);
  }
}

TEST_F(VerifyTest, EntryLongerThanTheBufferHandsBackTheLengthNeeded) {
  const OWNENTRY entry = FirstOwnEntry("entry_long.dll");
  ASSERT_GT(entry.length, SIGNCHECK_WORK_BUFFER_SIZE);
  VERIFICATION tooSmall;
  CReportWatch reports;
  EXPECT_EQ(0, tooSmall.Run(FixturePath("entry_long.dll")));
  EXPECT_EQ(LEVEL_MARKER, tooSmall.level);
  EXPECT_EQ(SIGSTATUS_BUFFER_TOO_SMALL, tooSmall.info.sign.status);
  EXPECT_EQ(entry.length, tooSmall.info.entryLength);
  EXPECT_EQ(KIND_MARKER, tooSmall.info.sign.kind);
  EXPECT_EQ(1, reports.count());
  EXPECT_EQ(5u, reports.code());
  EXPECT_NE(std::wstring::npos, reports.text().find(L"缓冲区不足"));

  // The length handed back is enough: the padding is counted but not stored.
  VERIFICATION retried(tooSmall.info.entryLength);
  ASSERT_EQ(1, retried.Run(FixturePath("entry_long.dll")));
  EXPECT_EQ(TRUST_VALID, retried.level);
  EXPECT_EQ(SIGSTATUS_FOUND, retried.info.sign.status);
  EXPECT_EQ(SIGKIND_RECORD2, retried.info.sign.kind);
  EXPECT_EQ(entry.paddedLength, retried.info.entryLength);
}

// The handle variant leaves the caller's handle open.
TEST_F(VerifyTest, ImageVariantKeepsTheHandle) {
  HANDLE file = CreateFileW(FixturePath("entry3.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  for (int call = 0; call < 2; ++call) {
    SCOPED_TRACE(call);
    VERIFICATION v;
    EXPECT_EQ(1, VerifyImageSignature(file, &v.info, &v.level));
    EXPECT_EQ(TRUST_VALID, v.level);
    EXPECT_EQ(SIGKIND_RECORD3, v.info.sign.kind);
  }
  CloseHandle(file);
}

}  // namespace
