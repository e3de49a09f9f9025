// Bounds-checked little-endian loads from untrusted bytes. Every multi-byte field read from a
// file goes through these; a load that would reach past the span answers false and stores nothing.
// Free of windows.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A bounded view of bytes that someone else owns.
struct BYTESPAN {
  const uint8_t* data;
  size_t size;
};

// True when [offset, offset + length) lies inside the span; the sum is taken in 64 bits.
inline bool SpanHolds(BYTESPAN span, uint64_t offset, uint64_t length) {
  return offset <= span.size && length <= span.size - offset;
}

// Decodes without a bounds check; only for callers that have checked the bounds of a whole run.
inline uint16_t DecodeLe16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t DecodeLe32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline bool LoadLe16(BYTESPAN span, uint64_t offset, uint16_t* out) {
  if (!SpanHolds(span, offset, 2)) return false;
  *out = DecodeLe16(span.data + offset);
  return true;
}

inline bool LoadLe32(BYTESPAN span, uint64_t offset, uint32_t* out) {
  if (!SpanHolds(span, offset, 4)) return false;
  *out = DecodeLe32(span.data + offset);
  return true;
}

inline bool LoadLe64(BYTESPAN span, uint64_t offset, uint64_t* out) {
  if (!SpanHolds(span, offset, 8)) return false;
  *out = uint64_t(DecodeLe32(span.data + offset)) |
         (uint64_t(DecodeLe32(span.data + offset + 4)) << 32);
  return true;
}
