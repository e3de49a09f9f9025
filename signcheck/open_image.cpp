// Opening an image: the header facts and the table of certificate entries.
#include <stdlib.h>
#include <string.h>

#include "errobj/errobj.h"
#include "signcheck/byteorder.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

int WalkCertificateTable(IMAGEOBJ* image) {
  uint32_t total = 0;
  uint64_t position = image->info.certTableOffset;
  for (;;) {
    uint8_t header[WIN_CERTIFICATE_HEADER_SIZE];
    if (!ReadCertificate(header, image->file, position, 1, nullptr)) return 0;
    if (image->nextCertIndex > MAX_CERT_INDEX) {
      REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 16, L"签名下标分配数量已经超过最大值: %d",
                       int(MAX_CERT_INDEX));
      return 0;
    }
    const BYTESPAN fields = {header, sizeof header};
    uint32_t length = 0;
    uint16_t type = 0;
    LoadLe32(fields, 0, &length);
    LoadLe16(fields, WIN_CERTIFICATE_TYPE_OFFSET, &type);
    CERTENTRY& entry = image->certEntries[image->certCount];
    entry.offset = total;
    entry.length = length;
    entry.type = type;
    entry.index = static_cast<uint16_t>(image->nextCertIndex);
    ++image->nextCertIndex;
    ++image->certCount;

    // Entries start on 8-byte steps; the rounding is 32-bit, as the table size is.
    const uint32_t step = (length + (CERT_ALIGNMENT - 1)) & ~(CERT_ALIGNMENT - 1);
    position += step;
    const uint64_t walked = uint64_t(total) + step;
    if (walked == image->info.certTableSize) return 1;
    if (walked > image->info.certTableSize) {
      REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 1, L"Certificate Table大小与PE目录不符合");
      return 0;
    }
    total = static_cast<uint32_t>(walked);
    // A zero-length entry makes no progress; the entry cap ends such a walk.
    if (image->certCount >= MAX_CERT_ENTRIES) {
      REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 16, L"签名数量超过系统支持的最大值: %lu",
                       static_cast<unsigned long>(image->certCount));
      return 0;
    }
  }
}

IMAGEOBJ* OpenImage(HANDLE file) {
  IMAGEOBJ* image = static_cast<IMAGEOBJ*>(malloc(sizeof(IMAGEOBJ)));
  if (!image) {
    REPORT_OUT_OF_MEMORY(IMAGE_REPORT_SOURCE);
    return nullptr;
  }
  memset(image, 0, sizeof *image);
  image->file = file;
  if (!ParseImageHeaders(image->buffer, file, &image->info)) {
    free(image);
    return nullptr;
  }
  if (image->info.certTableOffset == 0 || image->info.certTableSize == 0) {
    image->info.certTableOffset = 0;
    image->info.certTableSize = 0;
    return image;
  }
  if (!WalkCertificateTable(image)) {
    free(image);
    return nullptr;
  }
  return image;
}
