#include "verify_support.h"

#include <windows.h>
#include <string.h>

#include <fstream>
#include <iterator>

#include "errobj/errobj.h"
#include "signcheck/machine_auth.h"

namespace {

const wchar_t RECORD_KEY[] = L"SOFTWARE\\TamselMachineSignature";
constexpr char TEST_MACHINE_ID[] = "TEST-MACHINE-ID";
constexpr uint32_t CERT_DIRECTORY_PE32 = 0x98;  // from the PE signature: 24 + 128
constexpr uint16_t OWN_CERT_TYPE = 0xF000;

int machineIdCalls = 0;

int32_t TestMachineId(char* buffer) {
  ++machineIdCalls;
  memcpy(buffer, TEST_MACHINE_ID, sizeof TEST_MACHINE_ID);
  return static_cast<int32_t>(strlen(TEST_MACHINE_ID));
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
         uint32_t(bytes[offset + 3]) << 24;
}

// Loads a record written by tools/authorize.py --format values into the 64-bit view.
void StoreRecord(const std::string& name) {
  std::ifstream file("verify\\" + name + ".values");
  ASSERT_TRUE(file.good()) << name;
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, nullptr, 0,
                                           KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                                           nullptr));
  std::string valueName, type, hex;
  while (file >> valueName >> type >> hex) {
    std::vector<uint8_t> data;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      data.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    const std::wstring wideName(valueName.begin(), valueName.end());
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, wideName.c_str(), 0, type == "REG_SZ" ? REG_SZ : REG_BINARY,
                             data.data(), static_cast<DWORD>(data.size())));
  }
  RegCloseKey(key);
}

void RemoveRecord() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, KEY_WOW64_64KEY, 0); }

int reportCount = 0;
uint32_t reportCode = 0;
std::wstring reportText;

void ObserveReport(uint32_t code, const wchar_t* text) {
  ++reportCount;
  reportCode = code;
  reportText = text;
}

}  // namespace

std::wstring FixturePath(const std::string& name) {
  const std::string relative = name.find('\\') == std::string::npos ? "verify\\" + name : name;
  return std::wstring(relative.begin(), relative.end());
}

std::vector<uint8_t> ReadFixture(const std::string& name) {
  const std::wstring path = FixturePath(name);
  std::ifstream file(std::string(path.begin(), path.end()), std::ios::binary);
  EXPECT_TRUE(file.good()) << name;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                              std::istreambuf_iterator<char>());
}

CTempFile::CTempFile(const std::vector<uint8_t>& bytes) {
  wchar_t directory[MAX_PATH];
  wchar_t name[MAX_PATH];
  if (GetTempPathW(MAX_PATH, directory) == 0 || !GetTempFileNameW(directory, L"vfy", 0, name)) {
    ADD_FAILURE() << "no temporary file name";
    return;
  }
  m_path = name;
  HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot write a temporary file";
    return;
  }
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  EXPECT_EQ(bytes.size(), written);
  CloseHandle(file);
}

CTempFile::~CTempFile() {
  if (!m_path.empty()) DeleteFileW(m_path.c_str());
}

OWNENTRY FirstOwnEntry(const std::string& name) {
  const std::vector<uint8_t> bytes = ReadFixture(name);
  const uint32_t directory = Le32(bytes, 0x3C) + CERT_DIRECTORY_PE32;
  const uint32_t tableOffset = Le32(bytes, directory);
  const uint32_t tableEnd = tableOffset + Le32(bytes, directory + 4);
  for (uint32_t offset = tableOffset; offset + 8 <= tableEnd;) {
    const uint32_t length = Le32(bytes, offset);
    const uint32_t padded = (length + 7) & ~7u;
    if ((Le32(bytes, offset + 4) >> 16) == OWN_CERT_TYPE) return OWNENTRY{length, padded};
    if (length == 0) break;
    offset += padded;
  }
  ADD_FAILURE() << name << " has no own certificate entry";
  return OWNENTRY{0, 0};
}

VERIFICATION::VERIFICATION(uint32_t bufferSize) : buffer(bufferSize) {
  memset(&info, 0, sizeof info);
  info.sign.status = -1;
  info.sign.kind = KIND_MARKER;
  info.buffer = buffer.empty() ? nullptr : buffer.data();
  info.bufferSize = bufferSize;
}

int VERIFICATION::Run(const std::wstring& path, bool withInfo, bool withLevel) {
  result = VerifyFileSignature(path.c_str(), withInfo ? &info : nullptr,
                               withLevel ? &level : nullptr);
  return result;
}

void VerifyTest::SetUp() {
  HKEY existing = nullptr;
  ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, RECORD_KEY, 0,
                                         KEY_READ | KEY_WOW64_64KEY, &existing))
      << "an authorization record is already there; refusing to overwrite it";
  Authorize(AUTHORIZATION::NONE);
}

void VerifyTest::TearDown() {
  RemoveRecord();
  SetMachineIdSource(nullptr);
}

void VerifyTest::Authorize(AUTHORIZATION authorization) {
  RemoveRecord();
  switch (authorization) {
    case AUTHORIZATION::NONE:
      break;
    case AUTHORIZATION::VALID:
      StoreRecord("auth_valid");
      break;
    case AUTHORIZATION::EXPIRED:
      StoreRecord("auth_expired");
      break;
    case AUTHORIZATION::OTHER_MACHINE:
      StoreRecord("auth_other");
      break;
  }
  SetMachineIdSource(TestMachineId);
  machineIdCalls = 0;
}

int VerifyTest::MachineIdCalls() { return machineIdCalls; }

CReportWatch::CReportWatch() {
  reportCount = 0;
  reportCode = 0;
  reportText.clear();
  SetErrorObserver(ObserveReport);
}
CReportWatch::~CReportWatch() { SetErrorObserver(nullptr); }
int CReportWatch::count() const { return reportCount; }
uint32_t CReportWatch::code() const { return reportCode; }
const std::wstring& CReportWatch::text() const { return reportText; }
