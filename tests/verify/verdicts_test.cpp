// The decision table: which container counts, and the verdict each defect leads to.
#include <windows.h>

#include "verify_support.h"

namespace {

struct VERDICTCASE {
  const char* name;
  const char* fixture;
  AUTHORIZATION authorization;
  int32_t level;
  int32_t kind;
  int32_t status;
};

constexpr AUTHORIZATION NO_AUTH = AUTHORIZATION::NONE;
constexpr AUTHORIZATION AUTH = AUTHORIZATION::VALID;

const VERDICTCASE VERDICTS[] = {
    // Only the first container present counts: trailing block, own entry, resource.
    {"trailing block", "trailing.exe", NO_AUTH, TRUST_VALID, SIGKIND_TRAILING, SIGSTATUS_FOUND},
    {"trailing block, a covered byte changed", "trailing_changed.exe", NO_AUTH, TRUST_INVALID,
     SIGKIND_TRAILING, SIGSTATUS_FOUND},
    {"trailing block whose DigestInfo names SHA-256", "trailing_sha256.exe", NO_AUTH,
     TRUST_INVALID, SIGKIND_TRAILING, SIGSTATUS_FOUND},
    {"trailing block with the standard SHA-1 DigestInfo header", "trailing_sha1.exe", NO_AUTH,
     TRUST_INVALID, SIGKIND_TRAILING, SIGSTATUS_FOUND},
    {"bad trailing block hides a valid entry", "trailing_bad_entry_good.dll", NO_AUTH,
     TRUST_INVALID, SIGKIND_TRAILING, SIGSTATUS_FOUND},
    {"valid trailing block hides a bad entry", "trailing_good_entry_bad.dll", NO_AUTH, TRUST_VALID,
     SIGKIND_TRAILING, SIGSTATUS_FOUND},
    {"trailing block of key version 2 is absent", "trailing_v2_entry_good.dll", NO_AUTH,
     TRUST_VALID, SIGKIND_RECORD2, SIGSTATUS_FOUND},
    {"bad trailing block hides a valid resource", "resource_trailing_bad.dll", NO_AUTH,
     TRUST_INVALID, SIGKIND_TRAILING, SIGSTATUS_FOUND},
    {"bad entry hides a valid resource", "resource_entry_bad.dll", NO_AUTH, TRUST_INVALID,
     SIGKIND_RECORD2, SIGSTATUS_FOUND},
    {"signature resource", "resource.dll", NO_AUTH, TRUST_VALID, SIGKIND_RESOURCE,
     SIGSTATUS_FOUND},
    {"signature resource, a covered byte changed", "resource_changed.dll", NO_AUTH, TRUST_INVALID,
     SIGKIND_RESOURCE, SIGSTATUS_FOUND},
    {"unsigned resource placeholder", "signcheck\\fixture_dll.dll", NO_AUTH, TRUST_INVALID,
     SIGKIND_RESOURCE, SIGSTATUS_FOUND},
    {"no container", "signcheck\\fixture_exe.exe", NO_AUTH, TRUST_NONE, SIGKIND_RECORD1,
     SIGSTATUS_NONE},
    {"a foreign certificate entry is no container", "foreign_cert.exe", NO_AUTH, TRUST_NONE,
     SIGKIND_RECORD1, SIGSTATUS_NONE},

    // Plain records: padding, checksum, key, decrypted data and expiry.
    {"record type 2, future expiry", "entry2.dll", NO_AUTH, TRUST_VALID, SIGKIND_RECORD2,
     SIGSTATUS_FOUND},
    {"record type 3 without expiry", "entry3.dll", NO_AUTH, TRUST_VALID, SIGKIND_RECORD3,
     SIGSTATUS_FOUND},
    {"past expiry", "entry_expired.dll", NO_AUTH, TRUST_EXPIRED, SIGKIND_RECORD2,
     SIGSTATUS_FOUND},
    {"expiry zero never expires", "entry_expiry_zero.dll", NO_AUTH, TRUST_VALID, SIGKIND_RECORD3,
     SIGSTATUS_FOUND},
    {"zero padding", "entry_pad5.dll", NO_AUTH, TRUST_VALID, SIGKIND_RECORD2, SIGSTATUS_FOUND},
    {"nonzero padding", "entry_badpad.dll", NO_AUTH, TRUST_INVALID, SIGKIND_RECORD2,
     SIGSTATUS_FOUND},
    {"wrong CheckSum", "entry_wrong_checksum.dll", NO_AUTH, TRUST_INVALID, SIGKIND_RECORD2,
     SIGSTATUS_FOUND},
    {"15 bytes of decrypted data", "entry_data15.dll", NO_AUTH, TRUST_INVALID, SIGKIND_RECORD2,
     SIGSTATUS_FOUND},
    {"17 bytes of decrypted data", "entry_data17.dll", NO_AUTH, TRUST_INVALID, SIGKIND_RECORD2,
     SIGSTATUS_FOUND},
    {"16 bytes that are not the digest", "entry_not_digest.dll", NO_AUTH, TRUST_INVALID,
     SIGKIND_RECORD2, SIGSTATUS_FOUND},
    {"plain record signed with the machine-bound key", "entry_bound_key.dll", AUTH,
     TRUST_INVALID, SIGKIND_RECORD2, SIGSTATUS_FOUND},
    {"record that does not parse", "entry_unparsable.dll", NO_AUTH, TRUST_INVALID,
     SIGKIND_RECORD1, SIGSTATUS_NONE},
    {"only the first entry is read: first bad", "entries_first_bad.dll", NO_AUTH, TRUST_INVALID,
     SIGKIND_RECORD2, SIGSTATUS_FOUND},
    {"only the first entry is read: second bad", "entries_second_bad.dll", NO_AUTH, TRUST_VALID,
     SIGKIND_RECORD2, SIGSTATUS_FOUND},

    // The machine-bound record counts only with a valid authorization for this machine.
    {"machine-bound, no authorization", "entry1.dll", NO_AUTH, TRUST_NONE, SIGKIND_RECORD1,
     SIGSTATUS_FOUND},
    {"machine-bound, authorized", "entry1.dll", AUTH, TRUST_VALID, SIGKIND_RECORD1,
     SIGSTATUS_FOUND},
    {"machine-bound, authorization expired", "entry1.dll", AUTHORIZATION::EXPIRED, TRUST_NONE,
     SIGKIND_RECORD1, SIGSTATUS_FOUND},
    {"machine-bound, authorization of another machine", "entry1.dll",
     AUTHORIZATION::OTHER_MACHINE, TRUST_NONE, SIGKIND_RECORD1, SIGSTATUS_FOUND},
    {"machine-bound, authorized, past expiry", "entry1_expired.dll", AUTH, TRUST_EXPIRED,
     SIGKIND_RECORD1, SIGSTATUS_FOUND},
    {"machine-bound record signed with the plain key", "entry1_plain_key.dll", AUTH,
     TRUST_INVALID, SIGKIND_RECORD1, SIGSTATUS_FOUND},
    // Padding is checked before the authorization, the checksum only after it.
    {"machine-bound, nonzero padding, no authorization", "entry1_badpad.dll", NO_AUTH,
     TRUST_INVALID, SIGKIND_RECORD1, SIGSTATUS_FOUND},
    {"machine-bound, wrong CheckSum, no authorization", "entry1_wrong_checksum.dll", NO_AUTH,
     TRUST_NONE, SIGKIND_RECORD1, SIGSTATUS_FOUND},
};

// The length the call must report: the first own entry with its padding, once it parsed.
uint32_t ExpectedEntryLength(const VERDICTCASE& c) {
  const bool entryParsed = c.kind <= SIGKIND_RECORD3 && c.status == SIGSTATUS_FOUND;
  return entryParsed ? FirstOwnEntry(c.fixture).paddedLength : 0;
}

TEST_F(VerifyTest, DecisionTable) {
  for (const VERDICTCASE& c : VERDICTS) {
    SCOPED_TRACE(c.name);
    Authorize(c.authorization);
    const std::wstring path = FixturePath(c.fixture);
    VERIFICATION v;
    ASSERT_EQ(1, v.Run(path));
    EXPECT_EQ(c.level, v.level);
    EXPECT_EQ(c.kind, v.info.sign.kind);
    EXPECT_EQ(c.status, v.info.sign.status);
    EXPECT_EQ(ExpectedEntryLength(c), v.info.entryLength);
    EXPECT_EQ(v.buffer.data(), v.info.buffer);
    EXPECT_EQ(SIGNCHECK_WORK_BUFFER_SIZE, v.info.bufferSize);
    // The call closed its read-only handle: the file opens for writing again.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
  }
}

// The entry behind a trailing block is not even parsed: its text never reaches the caller.
TEST_F(VerifyTest, EntryBehindATrailingBlockIsNotRead) {
  VERIFICATION v;
  ASSERT_EQ(1, v.Run(FixturePath("trailing_bad_entry_good.dll")));
  EXPECT_EQ(nullptr, v.info.sign.text4);
  EXPECT_EQ(0u, v.info.entryLength);
}

TEST_F(VerifyTest, PlainRecordNeverConsultsTheAuthorization) {
  Authorize(AUTHORIZATION::VALID);
  VERIFICATION v;
  ASSERT_EQ(1, v.Run(FixturePath("entry2.dll")));
  EXPECT_EQ(TRUST_VALID, v.level);
  EXPECT_EQ(0, MachineIdCalls());

  VERIFICATION bound;
  ASSERT_EQ(1, bound.Run(FixturePath("entry1.dll")));
  EXPECT_EQ(TRUST_VALID, bound.level);
  EXPECT_EQ(1, MachineIdCalls());
}

}  // namespace
