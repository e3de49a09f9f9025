// Finding the trailing signature block just before the certificate table.
#include <string.h>

#include "errobj/errobj.h"
#include "signcheck/byteorder.h"
#include "signcheck/image.h"
#include "signcheck/keys.h"
#include "signcheck/report_sources.h"

int LocateTrailingBlock(IMAGEOBJ* image, uint8_t block[TRAILING_BLOCK_SIZE], int* found) {
  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(image->file, &fileSize)) {
    REPORT_SYS_ERROR(IMAGE_REPORT_SOURCE, L"GetFileSizeEx()失败");
    return 0;
  }
  const int64_t position = fileSize.QuadPart - int64_t(image->info.certTableSize) -
                           int64_t(TRAILING_BLOCK_SIZE);
  if (position < 0 || position < int64_t(image->info.headersEnd)) return 1;
  if (!SeekTo(image->file, uint64_t(position)) ||
      !ReadExact(image->file, block, TRAILING_BLOCK_SIZE)) {
    return 0;
  }
  uint16_t keyVersion = 0;
  LoadLe16(BYTESPAN{block, TRAILING_BLOCK_SIZE}, TRAILING_KEY_VERSION_OFFSET, &keyVersion);
  if (memcmp(block, TRAILING_MAGIC, sizeof TRAILING_MAGIC) != 0 ||
      memcmp(block + TRAILING_END_MAGIC_OFFSET, TRAILING_END_MAGIC, sizeof TRAILING_END_MAGIC) != 0 ||
      !FindBlockKey(keyVersion)) {
    return 1;
  }
  // The block's fields are 32-bit file offsets; a block beyond 4 GiB cannot be described.
  if (uint64_t(position) + TRAILING_BLOCK_SIZE > UINT32_MAX) return 0;
  image->info.trailingSignatureOffset = static_cast<uint32_t>(position) + TRAILING_SIGNATURE_OFFSET;
  image->info.trailingSignatureLength = TRAILING_SIGNATURE_SIZE;
  image->info.trailingBlockEnd = static_cast<uint32_t>(position) + TRAILING_BLOCK_SIZE;
  *found = 1;
  return 1;
}
