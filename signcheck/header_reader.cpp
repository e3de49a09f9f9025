// The header read cache: many small header reads served from one window of the file.
#include <string.h>

#include "errobj/errobj.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

int ReadAt(HEADERREADER* reader, uint64_t offset, void* destination, uint32_t length) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  const uint64_t end = offset + length;
  if (end > reader->fileSize) {
    REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 1, L"文件缺失");
    return 0;
  }
  const uint64_t cacheEnd = reader->cacheStart + reader->cacheLength;
  if (offset >= reader->cacheStart && offset < cacheEnd) {
    const uint8_t* cached = reader->cache + (offset - reader->cacheStart);
    if (end <= cacheEnd) {
      memcpy(out, cached, length);
      return 1;
    }
    const uint32_t head = static_cast<uint32_t>(cacheEnd - offset);
    memcpy(out, cached, head);
    out += head;
    offset = cacheEnd;
    length -= head;
  } else if (offset < reader->cacheStart && reader->cacheStart < end && end <= cacheEnd) {
    const uint32_t front = static_cast<uint32_t>(reader->cacheStart - offset);
    memcpy(out + front, reader->cache, static_cast<size_t>(end - reader->cacheStart));
    length = front;
  }
  if (length == 0) return 1;

  if (length >= reader->capacity) {
    // Too long for the window: read straight through and keep the request's tail cached.
    reader->cacheLength = 0;
    if (!SeekTo(reader->file, offset) || !ReadExact(reader->file, out, length)) return 0;
    memcpy(reader->cache, out + (length - reader->capacity), reader->capacity);
    reader->cacheStart = offset + length - reader->capacity;
    reader->cacheLength = reader->capacity;
    return 1;
  }
  const uint64_t available = reader->fileSize - offset;
  const uint32_t fill = available < reader->capacity ? static_cast<uint32_t>(available)
                                                      : reader->capacity;
  // The window is invalid until the refill has succeeded.
  reader->cacheLength = 0;
  if (!SeekTo(reader->file, offset) || !ReadExact(reader->file, reader->cache, fill)) return 0;
  reader->cacheStart = offset;
  reader->cacheLength = fill;
  memcpy(out, reader->cache, length);
  return 1;
}
