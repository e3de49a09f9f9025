#include "signcheck/machine_auth.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "errobj/errobj.h"
#include "machineid/machineid.h"
#include "signcheck/keys.h"
#include "signcheck/rsa.h"

namespace {

constexpr wchar_t SOURCE_FILE[] = L".\\KVCheckCertificate";
constexpr wchar_t AUTHORIZATION_KEY[] = L"SOFTWARE\\TamselMachineSignature";
constexpr REGSAM AUTHORIZATION_ACCESS = KEY_READ | KEY_WOW64_64KEY;
constexpr uint32_t ERRORCODE_MACHINE_ID_TOO_LONG = 9;
constexpr uint32_t ERRORCODE_NO_MACHINE_ID = 11;

// The process-wide digest cache: set once from the first successful computation.
bool machineIdDigestCached = false;
uint8_t machineIdDigest[MD5_DIGEST_SIZE];
MACHINEIDSOURCE machineIdSource = nullptr;

// Closes the key it holds on every path.
class CRegistryKey {
 public:
  HKEY m_key = nullptr;
  CRegistryKey() = default;
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;
  ~CRegistryKey() {
    if (m_key != nullptr) RegCloseKey(m_key);
  }
};

// Reads one value at *position within *room and consumes its bytes; false fails the record
// (wrong type, no byte left). A failing query (absent, larger than the room, any error) leaves
// *present false and consumes nothing.
bool ReadValue(HKEY key, const wchar_t* name, DWORD expectedType, uint8_t** position,
               uint32_t* room, bool* present, uint32_t* size) {
  DWORD type = REG_NONE;
  DWORD bytes = *room;
  *present = RegQueryValueExW(key, name, nullptr, &type, *position, &bytes) == ERROR_SUCCESS;
  if (!*present) return true;
  if (type != expectedType) return false;
  if (expectedType == REG_SZ) {
    // A text stored without its zero character ends at the end of its data: give it one.
    const uint32_t characters = bytes / 2;
    bool terminated = false;
    for (uint32_t i = 0; i < characters && !terminated; ++i) {
      terminated = (*position)[2 * i] == 0 && (*position)[2 * i + 1] == 0;
    }
    if (!terminated) {
      bytes = 2 * characters + 2;
      if (bytes >= *room) return false;
      (*position)[2 * characters] = 0;
      (*position)[2 * characters + 1] = 0;
    }
  }
  *size = bytes;
  *position += bytes;
  *room -= bytes;
  return *room != 0;
}

}  // namespace

void SetMachineIdSource(MACHINEIDSOURCE source) {
  machineIdSource = source;
  machineIdDigestCached = false;
}

int GetMachineIdDigest(uint8_t digest[MD5_DIGEST_SIZE]) {
  if (machineIdDigestCached) {
    memcpy(digest, machineIdDigest, MD5_DIGEST_SIZE);
    return 1;
  }
  char* buffer = static_cast<char*>(malloc(MACHINEID_BUFFER_SIZE));
  if (buffer == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    REPORT_SYS_ERROR(SOURCE_FILE, L"申请内存失败");
    return 0;
  }
  const int32_t length = (machineIdSource != nullptr ? machineIdSource : GetMachineId)(buffer);
  int result = 0;
  if (length < 0) {
    REPORT_APP_ERROR(SOURCE_FILE, ERRORCODE_MACHINE_ID_TOO_LONG, L"机器ID太长无法装载");
  } else if (length == 0) {
    REPORT_APP_ERROR(SOURCE_FILE, ERRORCODE_NO_MACHINE_ID, L"无法获取机器的ID");
  } else {
    Md5Buffer(machineIdDigest, buffer, static_cast<uint32_t>(length));
    machineIdDigestCached = true;
    memcpy(digest, machineIdDigest, MD5_DIGEST_SIZE);
    result = 1;
  }
  free(buffer);
  return result;
}

int ReadMachineAuthorization(MACHINEAUTH* record, uint8_t* valueBuffer, uint32_t* used) {
  CRegistryKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AUTHORIZATION_KEY, 0, AUTHORIZATION_ACCESS, &key.m_key) !=
      ERROR_SUCCESS) {
    key.m_key = nullptr;
    return 0;
  }
  *record = MACHINEAUTH{};
  uint8_t* position = valueBuffer;
  uint32_t room = MACHINEAUTH_VALUE_BUFFER_SIZE;
  const struct {
    const wchar_t* name;
    const wchar_t** field;
  } texts[] = {{L"Operator", &record->operatorText},
               {L"IssueDate", &record->issueDate},
               {L"ExpirationDate", &record->expirationDate}};
  for (const auto& text : texts) {
    uint8_t* const start = position;
    bool present = false;
    uint32_t size = 0;
    if (!ReadValue(key.m_key, text.name, REG_SZ, &position, &room, &present, &size)) return 0;
    if (present) *text.field = reinterpret_cast<const wchar_t*>(start);
  }
  uint8_t* const signStart = position;
  bool present = false;
  uint32_t signLength = 0;
  if (!ReadValue(key.m_key, L"SignData", REG_BINARY, &position, &room, &present, &signLength) ||
      !present) {
    return 0;
  }
  record->signData = signStart;
  record->signLength = signLength;
  if (!GetMachineIdDigest(record->machineIdDigest)) return 0;
  *used = MACHINEAUTH_VALUE_BUFFER_SIZE - room;
  return 1;
}

int32_t CheckMachineAuthorization() {
  uint8_t* values = static_cast<uint8_t*>(malloc(MACHINEAUTH_VALUE_BUFFER_SIZE));
  if (values == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return MACHINEAUTH_NONE;
  }
  MACHINEAUTH record = {};
  uint32_t used = 0;
  if (!ReadMachineAuthorization(&record, values, &used)) {
    free(values);
    return MACHINEAUTH_NONE;
  }
  int32_t result = MACHINEAUTH_INVALID;
  const uint32_t messageSize = AuthorizationMessageSize(used);
  uint8_t* message = static_cast<uint8_t*>(malloc(messageSize));
  uint32_t messageLength = 0;
  if (message == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } else if (BuildAuthorizationMessage(message, messageSize, &record, &messageLength)) {
    uint8_t digest[MD5_DIGEST_SIZE];
    Md5Buffer(digest, message, messageLength);
    uint8_t decrypted[MD5_DIGEST_SIZE];
    uint32_t decryptedLength = sizeof(decrypted);
    uint64_t expiration = 0;
    if (RsaPublicDecrypt1024(&AuthorizationKey, record.signData, record.signLength, decrypted,
                             &decryptedLength) == RSA_SUCCESS &&
        decryptedLength == MD5_DIGEST_SIZE && memcmp(decrypted, digest, MD5_DIGEST_SIZE) == 0) {
      if (record.expirationDate == nullptr) {
        result = MACHINEAUTH_VALID;
      } else if (ParseDateText(record.expirationDate, &expiration)) {
        result = IsExpired(expiration) ? MACHINEAUTH_EXPIRED : MACHINEAUTH_VALID;
      }
    }
  }
  free(message);
  free(values);
  return result;
}

int ParseDateText(const wchar_t* text, uint64_t* time) {
  SYSTEMTIME local = {};
  const int converted = swscanf(text, L"%hu-%hu-%hu %hu:%hu:%hu", &local.wYear, &local.wMonth,
                                &local.wDay, &local.wHour, &local.wMinute, &local.wSecond);
  if (converted != 3 && converted != 6) return 0;
  FILETIME localTime;
  FILETIME utcTime;
  if (!SystemTimeToFileTime(&local, &localTime) || !LocalFileTimeToFileTime(&localTime, &utcTime)) {
    return 0;
  }
  *time = static_cast<uint64_t>(utcTime.dwHighDateTime) << 32 | utcTime.dwLowDateTime;
  return 1;
}

int IsExpiredAt(uint64_t time, uint64_t now) {
  return time != 0 && static_cast<int64_t>(time) < static_cast<int64_t>(now) ? 1 : 0;
}

int IsExpired(uint64_t time) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return IsExpiredAt(time, static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
}
