// The own certificate entries: listing the table, reading one entry and its padding.
#include "errobj/errobj.h"
#include "signcheck/byteorder.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

namespace {

const CERTENTRY* FindCertEntry(const IMAGEOBJ* image, uint32_t index) {
  for (uint32_t i = 0; i < image->certCount; ++i) {
    if (image->certEntries[i].index == index) return &image->certEntries[i];
  }
  REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 2, L"没有找到指定的签名信息");
  return nullptr;
}

}  // namespace

int ListCertIndexes(IMAGEOBJ* image, uint32_t indexes[MAX_CERT_ENTRIES], uint32_t* count) {
  *count = 0;
  for (uint32_t i = 0; i < image->certCount; ++i) {
    if (*count >= MAX_CERT_ENTRIES) {
      REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 14, L"索引数组长度不足: %lu",
                       static_cast<unsigned long>(MAX_CERT_ENTRIES));
      return 0;
    }
    indexes[(*count)++] = image->certEntries[i].index;
  }
  return 1;
}

int ReadCertHeader(IMAGEOBJ* image, uint32_t index, uint8_t header[WIN_CERTIFICATE_HEADER_SIZE]) {
  const CERTENTRY* entry = FindCertEntry(image, index);
  if (!entry) return 0;
  return ReadCertificate(header, image->file, uint64_t(image->info.certTableOffset) + entry->offset,
                         1, nullptr);
}

int ReadCertEntry(IMAGEOBJ* image, uint32_t index, void* destination, uint32_t* size) {
  const CERTENTRY* entry = FindCertEntry(image, index);
  if (!entry) return 0;
  const uint64_t offset = uint64_t(image->info.certTableOffset) + entry->offset;
  uint32_t length = *size;
  if (!ReadCertificate(destination, image->file, offset, 0, &length)) {
    *size = length;
    return 0;
  }
  const uint64_t end = offset + length;
  image->certPaddingCount = static_cast<uint32_t>((CERT_ALIGNMENT - end % CERT_ALIGNMENT) %
                                                  CERT_ALIGNMENT);
  *size = length;
  if (image->certPaddingCount > 0 &&
      (!SeekTo(image->file, end) ||
       !ReadExact(image->file, image->certPadding, image->certPaddingCount))) {
    return 0;
  }
  *size += image->certPaddingCount;
  return 1;
}

bool CertPaddingIsZero(const IMAGEOBJ* image) {
  for (uint32_t i = 0; i < image->certPaddingCount; ++i) {
    if (image->certPadding[i] != 0) return false;
  }
  return true;
}

int ListOwnCertEntries(uint32_t indexes[MAX_CERT_ENTRIES], uint32_t* count, IMAGEOBJ* image) {
  uint32_t listed = 0;
  if (!ListCertIndexes(image, indexes, &listed)) return 0;
  *count = 0;
  for (uint32_t i = 0; i < listed; ++i) {
    uint8_t header[WIN_CERTIFICATE_HEADER_SIZE];
    if (!ReadCertHeader(image, indexes[i], header)) return 0;
    uint16_t type = 0;
    LoadLe16(BYTESPAN{header, sizeof header}, WIN_CERTIFICATE_TYPE_OFFSET, &type);
    if (type == CERT_TYPE_OWN) indexes[(*count)++] = indexes[i];
  }
  return 1;
}
