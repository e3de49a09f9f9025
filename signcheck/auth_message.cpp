// The signed message of a machine authorization. Free of windows.h (a native fuzzer build
// supplies ParseDateText).
#include <string.h>
#include <wchar.h>

#include "errobj/errobj.h"
#include "signcheck/machine_auth.h"

namespace {

constexpr wchar_t SOURCE_FILE[] = L".\\KVCheckCertificate";
constexpr uint32_t ERRORCODE_DATE_FORMAT = 1;
constexpr uint32_t ERRORCODE_MESSAGE_ROOM = 5;

void StoreUint16(uint8_t* position, uint32_t value) {
  position[0] = static_cast<uint8_t>(value);
  position[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

uint32_t AuthorizationMessageSize(uint32_t valueBytesUsed) {
  const uint32_t base =
      valueBytesUsed < AUTH_MESSAGE_SIZE_BASE ? AUTH_MESSAGE_SIZE_BASE : valueBytesUsed;
  return base >= AUTH_MESSAGE_SIZE_MAX / 2 ? AUTH_MESSAGE_SIZE_MAX : base * 2;
}

int AppendTextItem(uint8_t* position, uint32_t room, uint16_t type, const wchar_t* text,
                   uint32_t* itemLength) {
  *itemLength = 0;
  if (room < AUTHITEM_MIN_TEXT_ROOM) return 1;
  const size_t characters = wcslen(text);
  if (characters + 1 > (room - AUTHITEM_HEADER_SIZE) / 2) {
    REPORT_APP_ERROR(SOURCE_FILE, ERRORCODE_MESSAGE_ROOM, L"签名信息长度超过签名缓冲区");
    return 0;
  }
  uint8_t* value = position + AUTHITEM_HEADER_SIZE;
  for (size_t i = 0; i <= characters; ++i) StoreUint16(value + 2 * i, text[i]);
  const uint32_t length = AUTHITEM_HEADER_SIZE + 2 * static_cast<uint32_t>(characters + 1);
  StoreUint16(position, type);
  StoreUint16(position + 2, length);
  *itemLength = length;
  return 1;
}

int BuildAuthorizationMessage(uint8_t* message, uint32_t size, const MACHINEAUTH* record,
                              uint32_t* length) {
  uint64_t time = 0;
  if (record->issueDate != nullptr && !ParseDateText(record->issueDate, &time)) {
    REPORT_APP_ERROR(SOURCE_FILE, ERRORCODE_DATE_FORMAT, L"签发日期格式无效");
    return 0;
  }
  if (record->expirationDate != nullptr && !ParseDateText(record->expirationDate, &time)) {
    REPORT_APP_ERROR(SOURCE_FILE, ERRORCODE_DATE_FORMAT, L"过期日期格式无效");
    return 0;
  }
  const struct {
    uint16_t type;
    const wchar_t* text;
  } items[] = {{AUTHITEM_OPERATOR, record->operatorText},
               {AUTHITEM_ISSUE_DATE, record->issueDate},
               {AUTHITEM_EXPIRATION_DATE, record->expirationDate}};
  uint32_t used = 0;
  for (const auto& item : items) {
    if (item.text == nullptr) continue;
    uint32_t itemLength = 0;
    if (!AppendTextItem(message + used, size - used, item.type, item.text, &itemLength)) {
      return 0;
    }
    used += itemLength;
  }
  if (size - used < AUTHITEM_MACHINE_ID_SIZE) {
    REPORT_APP_ERROR(SOURCE_FILE, ERRORCODE_MESSAGE_ROOM, L"签名信息长度超过签名缓冲区");
    return 0;
  }
  StoreUint16(message + used, AUTHITEM_MACHINE_ID);
  StoreUint16(message + used + 2, AUTHITEM_MACHINE_ID_SIZE);
  memcpy(message + used + AUTHITEM_HEADER_SIZE, record->machineIdDigest, MD5_DIGEST_SIZE);
  *length = used + AUTHITEM_MACHINE_ID_SIZE;
  return 1;
}
