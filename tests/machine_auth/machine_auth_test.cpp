#include "signcheck/machine_auth.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "machineid/machineid.h"
#include "reports.h"

namespace {

const wchar_t RECORD_KEY[] = L"SOFTWARE\\TamselMachineSignature";
constexpr char TEST_MACHINE_ID[] = "TEST-MACHINE-ID";
// MD5 of TEST_MACHINE_ID.
constexpr uint8_t TEST_MACHINE_DIGEST[MD5_DIGEST_SIZE] = {
    0x4c, 0x08, 0x0f, 0x35, 0x2a, 0xed, 0xee, 0x2a, 0x79, 0x29, 0xa7, 0xf7, 0x0d, 0x77, 0x68, 0x24};

int machineIdCalls = 0;
int32_t machineIdResult = 0;  // what the failing sources return

int32_t TestMachineId(char* buffer) {
  ++machineIdCalls;
  memcpy(buffer, TEST_MACHINE_ID, sizeof(TEST_MACHINE_ID));
  return static_cast<int32_t>(strlen(TEST_MACHINE_ID));
}
int32_t FailingMachineId(char*) {
  ++machineIdCalls;
  return machineIdResult;
}

struct VALUE {
  std::wstring name;
  DWORD type;
  std::vector<uint8_t> data;
};
typedef std::vector<VALUE> RECORD;

// Reads a record written by tools/authorize.py --format values.
RECORD LoadRecord(const char* name) {
  std::ifstream file(std::string("machine_auth\\") + name + ".values");
  EXPECT_TRUE(file.good()) << name;
  RECORD record;
  std::string valueName, type, hex;
  while (file >> valueName >> type >> hex) {
    VALUE value{std::wstring(valueName.begin(), valueName.end()),
                type == "REG_SZ" ? static_cast<DWORD>(REG_SZ) : static_cast<DWORD>(REG_BINARY),
                {}};
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      value.data.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    record.push_back(value);
  }
  return record;
}

VALUE* Find(RECORD& record, const wchar_t* name) {
  for (VALUE& v : record) {
    if (v.name == name) return &v;
  }
  record.push_back({name, REG_SZ, {}});
  return &record.back();
}

// A text value of exactly bytes bytes, its terminating zero included.
std::vector<uint8_t> TextOfSize(size_t bytes) {
  std::vector<uint8_t> data(bytes, 0);
  for (size_t i = 0; i + 2 < bytes; i += 2) data[i] = 'O';
  return data;
}

// Writes the record key of HKEY_LOCAL_MACHINE in the 64-bit view and removes it afterwards.
class MachineAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY existing = nullptr;
    ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0,
                                           KEY_READ | KEY_WOW64_64KEY, &existing))
        << "an authorization record is already there; refusing to overwrite it";
    machineIdCalls = 0;
    SetMachineIdSource(TestMachineId);
  }
  void TearDown() override {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, KEY_WOW64_32KEY, 0);
    SetMachineIdSource(nullptr);
  }
  void Store(const RECORD& record, REGSAM view = KEY_WOW64_64KEY) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | view, nullptr, &key, nullptr));
    for (const VALUE& v : record) {
      ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(),
                                              static_cast<DWORD>(v.data.size())));
    }
    RegCloseKey(key);
  }
};

struct CHECKCASE {
  const char* name;
  const char* fixture;
  void (*edit)(RECORD&);
  int32_t result;
  uint32_t reportCode;  // 0: nothing reported
  const wchar_t* reportText;
};

void NoEdit(RECORD&) {}
void OperatorExpandSz(RECORD& r) { Find(r, L"Operator")->type = REG_EXPAND_SZ; }
void DropSignData(RECORD& r) {
  for (size_t i = 0; i < r.size(); ++i) {
    if (r[i].name == L"SignData") r.erase(r.begin() + i);
  }
}
void SignDataAsText(RECORD& r) { Find(r, L"SignData")->type = REG_SZ; }
void SignDataOneByteLonger(RECORD& r) { Find(r, L"SignData")->data.push_back(0); }
void OperatorOverTheBuffer(RECORD& r) { Find(r, L"Operator")->data = TextOfSize(1100); }
// With the 128-byte signature the values use all 1024 bytes, or 1023 (the most allowed).
void FillBufferExactly(RECORD& r) { Find(r, L"Operator")->data = TextOfSize(896); }
void FillBufferLessOne(RECORD& r) {
  Find(r, L"Operator")->data = TextOfSize(894);
  Find(r, L"Operator")->data.push_back(0);
}
void OperatorWithoutTerminator(RECORD& r) { Find(r, L"Operator")->data.resize(6); }
void OperatorOddSizeWithoutTerminator(RECORD& r) { Find(r, L"Operator")->data.resize(7); }

TEST_F(MachineAuthTest, VerdictsOfTheRecord) {
  const CHECKCASE cases[] = {
      {"no key", nullptr, NoEdit, MACHINEAUTH_NONE, 0, nullptr},
      {"all values, not expired", "valid_full", NoEdit, MACHINEAUTH_VALID, 0, nullptr},
      {"signature alone: the message is the digest item", "sign_only", NoEdit, MACHINEAUTH_VALID, 0,
       nullptr},
      {"expired", "expired", NoEdit, MACHINEAUTH_EXPIRED, 0, nullptr},
      {"another machine", "other_machine", NoEdit, MACHINEAUTH_INVALID, 0, nullptr},
      {"15 bytes of decrypted data", "truncated15", NoEdit, MACHINEAUTH_INVALID, 0, nullptr},
      {"signature one byte longer than the modulus", "sign_only", SignDataOneByteLonger,
       MACHINEAUTH_INVALID, 0, nullptr},
      {"malformed issue date", "bad_issue", NoEdit, MACHINEAUTH_INVALID, 1, L"签发日期格式无效"},
      {"malformed expiration date", "bad_expiration", NoEdit, MACHINEAUTH_INVALID, 1,
       L"过期日期格式无效"},
      {"operator of type REG_EXPAND_SZ", "valid_full", OperatorExpandSz, MACHINEAUTH_NONE, 0,
       nullptr},
      {"no SignData", "valid_full", DropSignData, MACHINEAUTH_NONE, 0, nullptr},
      {"SignData of type REG_SZ", "valid_full", SignDataAsText, MACHINEAUTH_NONE, 0, nullptr},
      {"operator over the buffer drops its item", "valid_full", OperatorOverTheBuffer,
       MACHINEAUTH_INVALID, 0, nullptr},
      {"operator over the buffer counts as absent", "sign_only", OperatorOverTheBuffer,
       MACHINEAUTH_VALID, 0, nullptr},
      {"values fill the buffer exactly", "sign_only", FillBufferExactly, MACHINEAUTH_NONE, 0,
       nullptr},
      {"values one byte short of the buffer", "sign_only", FillBufferLessOne, MACHINEAUTH_INVALID,
       0, nullptr},
      {"operator stored without its zero", "operator_abc", OperatorWithoutTerminator,
       MACHINEAUTH_VALID, 0, nullptr},
      {"operator of odd size without its zero", "operator_abc", OperatorOddSizeWithoutTerminator,
       MACHINEAUTH_VALID, 0, nullptr},
  };
  for (const CHECKCASE& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, KEY_WOW64_64KEY, 0);
    if (c.fixture != nullptr) {
      RECORD record = LoadRecord(c.fixture);
      c.edit(record);
      Store(record);
    }
    CReportCounter reports;
    EXPECT_EQ(c.result, CheckMachineAuthorization());
    EXPECT_EQ(c.reportCode == 0 ? 0 : 1, reports.count());
    if (c.reportCode != 0) {
      EXPECT_EQ(c.reportCode, reports.code());
      EXPECT_NE(std::wstring::npos, reports.text().find(c.reportText));
    }
  }
}

// Runs a command line to its end and returns its exit code.
DWORD RunToEnd(std::wstring commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return GetLastError();
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

TEST_F(MachineAuthTest, RegistryFileImportsAsAValidRecord) {
  ASSERT_EQ(0u, RunToEnd(L"reg.exe import machine_auth\\valid_full.reg /reg:64"));
  EXPECT_EQ(MACHINEAUTH_VALID, CheckMachineAuthorization());
}

TEST_F(MachineAuthTest, RecordInThe32BitViewIsNotRead) {
  Store(LoadRecord("valid_full"), KEY_WOW64_32KEY);
  EXPECT_EQ(MACHINEAUTH_NONE, CheckMachineAuthorization());
}

TEST_F(MachineAuthTest, ReadPacksTheValuesIntoOneBuffer) {
  const RECORD stored = LoadRecord("valid_full");
  Store(stored);
  std::vector<uint8_t> buffer(MACHINEAUTH_VALUE_BUFFER_SIZE, 0xA5);
  MACHINEAUTH record;
  memset(&record, 0xA5, sizeof(record));
  uint32_t used = 0;
  ASSERT_EQ(1, ReadMachineAuthorization(&record, buffer.data(), &used));

  // Operator, IssueDate, ExpirationDate, SignData: each directly after the one before.
  const uint8_t* expected = buffer.data();
  const void* fields[] = {record.operatorText, record.issueDate, record.expirationDate,
                          record.signData};
  const wchar_t* names[] = {L"Operator", L"IssueDate", L"ExpirationDate", L"SignData"};
  RECORD copy = stored;
  for (int i = 0; i < 4; ++i) {
    const VALUE* value = Find(copy, names[i]);
    EXPECT_EQ(expected, fields[i]) << i;
    EXPECT_EQ(0, memcmp(expected, value->data.data(), value->data.size())) << i;
    expected += value->data.size();
  }
  EXPECT_EQ(static_cast<uint32_t>(expected - buffer.data()), used);
  EXPECT_EQ(128u, record.signLength);
  EXPECT_EQ(0, memcmp(TEST_MACHINE_DIGEST, record.machineIdDigest, MD5_DIGEST_SIZE));
}

TEST_F(MachineAuthTest, DigestIsComputedOnceThenKept) {
  uint8_t digest[MD5_DIGEST_SIZE];
  ASSERT_EQ(1, GetMachineIdDigest(digest));
  EXPECT_EQ(0, memcmp(TEST_MACHINE_DIGEST, digest, MD5_DIGEST_SIZE));
  Store(LoadRecord("sign_only"));
  EXPECT_EQ(MACHINEAUTH_VALID, CheckMachineAuthorization());
  EXPECT_EQ(MACHINEAUTH_VALID, CheckMachineAuthorization());
  memset(digest, 0, sizeof(digest));
  ASSERT_EQ(1, GetMachineIdDigest(digest));
  EXPECT_EQ(0, memcmp(TEST_MACHINE_DIGEST, digest, MD5_DIGEST_SIZE));
  EXPECT_EQ(1, machineIdCalls);
}

TEST_F(MachineAuthTest, FailedIdentifierIsReportedAndTriedAgain) {
  const struct {
    int32_t identifierResult;
    uint32_t code;
    const wchar_t* text;
  } cases[] = {{0, 11, L"无法获取机器的ID"}, {-1, 9, L"机器ID太长无法装载"}};
  Store(LoadRecord("sign_only"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    SetMachineIdSource(FailingMachineId);
    machineIdResult = c.identifierResult;
    machineIdCalls = 0;
    for (int call = 1; call <= 2; ++call) {
      CReportCounter reports;
      EXPECT_EQ(MACHINEAUTH_NONE, CheckMachineAuthorization());
      EXPECT_EQ(call, machineIdCalls) << "a failure must not be cached";
      EXPECT_EQ(1, reports.count());
      EXPECT_EQ(c.code, reports.code());
      EXPECT_NE(std::wstring::npos, reports.text().find(c.text));
    }
  }
  SetMachineIdSource(TestMachineId);
  EXPECT_EQ(MACHINEAUTH_VALID, CheckMachineAuthorization());
}

TEST_F(MachineAuthTest, RealDigestIsTheMd5OfThisMachinesIdentifier) {
  SetMachineIdSource(nullptr);
  std::vector<char> identifier(MACHINEID_BUFFER_SIZE);
  const int32_t length = GetMachineId(identifier.data());
  ASSERT_GT(length, 0);
  uint8_t expected[MD5_DIGEST_SIZE];
  Md5Buffer(expected, identifier.data(), static_cast<uint32_t>(length));
  uint8_t digest[MD5_DIGEST_SIZE];
  ASSERT_EQ(1, GetMachineIdDigest(digest));
  EXPECT_EQ(0, memcmp(expected, digest, MD5_DIGEST_SIZE));
}

}  // namespace
