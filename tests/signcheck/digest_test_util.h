// Helpers shared by the digest tests.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// The xorshift32 byte stream that make_digest_vectors.py hashes for a seed.
inline std::vector<uint8_t> TestBytes(uint32_t seed, uint32_t length) {
  std::vector<uint8_t> out(length);
  uint32_t state = seed;
  for (uint32_t i = 0; i < length; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = uint8_t(state);
  }
  return out;
}

inline std::string Hex(const uint8_t* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}
