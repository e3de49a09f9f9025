// Parsing the signature record of an own certificate entry.
#include "signcheck/signature_record.h"

#include <string.h>

#include "errobj/errobj.h"
#include "signcheck/byteorder.h"
#include "signcheck/report_sources.h"

namespace {

int Malformed(int32_t line, const wchar_t* text) {
  ReportAppError(CERTIFICATE_REPORT_SOURCE, line, 1, L"%ls", text);
  return 0;
}

}  // namespace

int ParseSignatureRecord(const uint8_t* entry, uint32_t available, SIGNINFO* info,
                         const uint8_t** signature, int32_t* signatureLength,
                         const uint8_t** attributes, int32_t* attributesLength) {
  memset(info, 0, sizeof *info);
  uint32_t length = 0;
  if (!LoadLe32(BYTESPAN{entry, available}, 0, &length)) {
    return Malformed(__LINE__, L"签名长度无效");
  }
  if (length > available) return Malformed(__LINE__, L"签名长度不匹配");
  if (length < SIGNATURE_RECORD_HEADER_SIZE) return Malformed(__LINE__, L"签名长度无效");
  const BYTESPAN record = {entry, length};
  uint16_t revision = 0;
  LoadLe16(record, SIGNATURE_RECORD_REVISION_OFFSET, &revision);
  if (revision != SIGNATURE_RECORD_REVISION) return Malformed(__LINE__, L"签名版本无效");

  uint16_t elementType = 0, elementLength = 0;
  if (!LoadLe16(record, SIGNATURE_ELEMENT_OFFSET, &elementType) ||
      !LoadLe16(record, SIGNATURE_ELEMENT_LENGTH_OFFSET, &elementLength) ||
      elementLength > length - SIGNATURE_RECORD_HEADER_SIZE) {
    return Malformed(__LINE__, L"签名长度无效");
  }
  if (elementType < SIGNATURE_ELEMENT_TYPE_FIRST || elementType > SIGNATURE_ELEMENT_TYPE_LAST) {
    return Malformed(__LINE__, L"签名格式无效");
  }
  info->kind = elementType - SIGNATURE_ELEMENT_TYPE_FIRST;
  if (elementLength <= SIGNATURE_ELEMENT_HEADER_SIZE) return Malformed(__LINE__, L"签名长度无效");
  *signature = entry + SIGNATURE_ELEMENT_OFFSET + SIGNATURE_ELEMENT_HEADER_SIZE;
  *signatureLength = int32_t(elementLength) - int32_t(SIGNATURE_ELEMENT_HEADER_SIZE);

  uint32_t position = SIGNATURE_ELEMENT_OFFSET + elementLength;
  uint32_t remaining = length - position;
  *attributes = entry + position;
  *attributesLength = static_cast<int32_t>(remaining);
  while (remaining > 0) {
    uint16_t type = 0, attributeLength = 0;
    if (!LoadLe16(record, position, &type) || !LoadLe16(record, position + ATTRIBUTE_LENGTH_OFFSET, &attributeLength) ||
        attributeLength > remaining || attributeLength <= ATTRIBUTE_HEADER_SIZE) {
      return Malformed(__LINE__, L"签名长度无效");
    }
    const uint8_t* value = entry + position + ATTRIBUTE_HEADER_SIZE;
    const uint32_t valueLength = attributeLength - ATTRIBUTE_HEADER_SIZE;
    if (type >= ATTRIBUTE_TEXT_FIRST && type <= ATTRIBUTE_TEXT_LAST) {
      if (valueLength % UTF16_UNIT_SIZE != 0 || value[valueLength - 1] != 0 ||
          value[valueLength - 2] != 0) {
        return Malformed(__LINE__, L"签名格式无效");
      }
      const wchar_t* text = reinterpret_cast<const wchar_t*>(value);
      const wchar_t** texts[] = {&info->text4, &info->text5, &info->text6, &info->text7};
      *texts[type - ATTRIBUTE_TEXT_FIRST] = text;
    } else if (type == ATTRIBUTE_VALUE8 || type == ATTRIBUTE_EXPIRY) {
      if (attributeLength != ATTRIBUTE_VALUE_LENGTH) return Malformed(__LINE__, L"签名格式无效");
      uint64_t fieldValue = 0;
      LoadLe64(record, position + ATTRIBUTE_HEADER_SIZE, &fieldValue);
      if (type == ATTRIBUTE_VALUE8) {
        info->value8 = fieldValue;
      } else {
        info->expiry = fieldValue;
      }
    }
    position += attributeLength;
    remaining -= attributeLength;
  }
  return 1;
}
