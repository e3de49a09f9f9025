// The digest walk: the file in chunks of the work buffer, with special ranges left out,
// zero-filled or ending the walk.
#include <string.h>

#include "errobj/errobj.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

namespace {

int Stopped() {
  REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, CODE_DIGEST_STOPPED, L"签名计算被终止");
  return 0;
}

// Feeds [position, end): a first chunk of gap mod 32768 bytes (when not 0), then whole buffers.
// Each chunk's checksum words count from the chunk's own start, so this split is part of the result.
int FeedGap(IMAGEOBJ* image, uint64_t position, uint64_t end, DIGESTCALLBACK digest,
            void* digestContext, DIGESTCALLBACK sum, void* sumContext) {
  uint64_t gap = end - position;
  uint32_t chunk = static_cast<uint32_t>(gap % IMAGE_WORK_BUFFER_SIZE);
  if (chunk == 0) chunk = IMAGE_WORK_BUFFER_SIZE;
  while (gap > 0) {
    if (!SeekTo(image->file, position) || !ReadExact(image->file, image->buffer, chunk)) return 0;
    if (!digest(digestContext, image->buffer, chunk)) return Stopped();
    if (sum && !sum(sumContext, image->buffer, chunk)) return Stopped();
    position += chunk;
    gap -= chunk;
    chunk = IMAGE_WORK_BUFFER_SIZE;
  }
  return 1;
}

int Sha256Digest(void* context, const void* data, uint32_t length) {
  return Sha256Update(static_cast<SHA256CTX*>(context), data, length);
}

int Walk(IMAGEOBJ* image, const DIGESTRANGE* ranges, uint32_t rangeCount, DIGESTCALLBACK digest,
         void* digestContext, DIGESTCALLBACK sum, void* sumContext, bool readRanges,
         uint64_t* fileSize) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(image->file, &size)) {
    REPORT_SYS_ERROR(IMAGE_REPORT_SOURCE, L"GetFileSizeEx()失败");
    return 0;
  }
  *fileSize = static_cast<uint64_t>(size.QuadPart);
  uint64_t position = 0;
  for (uint32_t i = 0; i <= rangeCount; ++i) {
    const bool last = i == rangeCount;
    const uint64_t end = last ? *fileSize : ranges[i].offset;
    if (end < position) {
      // Overlapping or unsorted ranges, or a range past the end: only a malformed file has them.
      REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, CODE_RANGE_OUT_OF_ORDER, L"跳过块的位置不是递增的");
      return 0;
    }
    if (!FeedGap(image, position, end, digest, digestContext, sum, sumContext)) return 0;
    if (last) return 1;
    const DIGESTRANGE& range = ranges[i];
    if (range.length == 0) return 1;
    const bool read = readRanges && !range.noRead;
    if ((read || range.zeroFill) && range.length > IMAGE_WORK_BUFFER_SIZE) {
      REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, CODE_RANGE_TOO_LONG, L"跳过块的长度超过缓冲区大小");
      return 0;
    }
    if (read) {
      if (!SeekTo(image->file, range.offset) ||
          !ReadExact(image->file, image->buffer, range.length)) {
        return 0;
      }
      if (sum && !sum(sumContext, image->buffer, range.length)) return Stopped();
    }
    if (range.zeroFill) {
      memset(image->buffer, 0, range.length);
      if (!digest(digestContext, image->buffer, range.length)) return Stopped();
    }
    position = range.offset + range.length;
  }
  return 1;
}

}  // namespace

int WalkImage(IMAGEOBJ* image, const DIGESTRANGE* ranges, uint32_t rangeCount,
              DIGESTCALLBACK digest, void* digestContext, DIGESTCALLBACK sum, void* sumContext,
              uint64_t* fileSize) {
  return Walk(image, ranges, rangeCount, digest, digestContext, sum, sumContext, true, fileSize);
}

int WalkImageSha256(IMAGEOBJ* image, const DIGESTRANGE* ranges, uint32_t rangeCount,
                    SHA256CTX* context, uint64_t* fileSize) {
  return Walk(image, ranges, rangeCount, Sha256Digest, context, nullptr, nullptr, false, fileSize);
}
