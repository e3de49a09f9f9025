// Reading one WIN_CERTIFICATE header or whole entry from the file.
#include <string.h>

#include "errobj/errobj.h"
#include "signcheck/byteorder.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

int ReadCertificate(void* destination, HANDLE file, uint64_t offset, int headerOnly,
                    uint32_t* size) {
  const uint32_t limit = size ? *size : UINT32_MAX;
  if (size) *size = 0;
  uint8_t header[WIN_CERTIFICATE_HEADER_SIZE];
  if (!SeekTo(file, offset) || !ReadExact(file, header, sizeof header)) return 0;
  uint32_t length = 0;
  LoadLe32(BYTESPAN{header, sizeof header}, 0, &length);

  const uint32_t needed = headerOnly ? WIN_CERTIFICATE_HEADER_SIZE
                          : length < WIN_CERTIFICATE_HEADER_SIZE ? WIN_CERTIFICATE_HEADER_SIZE
                                                                 : length;
  if (needed > limit) {
    REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 5, L"缓冲区不足");
    if (size) *size = needed;
    return 0;
  }
  // The header is stored even for an entry that claims to be shorter than it, so a parser of
  // the destination always finds the whole header there.
  memcpy(destination, header, sizeof header);
  if (headerOnly) {
    if (size) *size = WIN_CERTIFICATE_HEADER_SIZE;
    return 1;
  }
  if (length > WIN_CERTIFICATE_HEADER_SIZE &&
      !ReadExact(file, static_cast<uint8_t*>(destination) + WIN_CERTIFICATE_HEADER_SIZE,
                 length - WIN_CERTIFICATE_HEADER_SIZE)) {
    return 0;
  }
  if (size) *size = length;
  return 1;
}
