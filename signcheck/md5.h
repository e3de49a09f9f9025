// MD5 (RFC 1321). No heap, no windows.h.
#pragma once

#include <stdint.h>

constexpr uint32_t MD5_DIGEST_SIZE = 16;
constexpr uint32_t MD5_BLOCK_SIZE = 64;

struct MD5CTX {
  uint32_t state[4];  // chaining values A, B, C, D
  uint32_t count[2];  // bits processed, low word first
  uint8_t buffer[MD5_BLOCK_SIZE];
};
static_assert(sizeof(MD5CTX) == 88, "MD5CTX layout");

void Md5Init(MD5CTX* context);
void Md5Update(MD5CTX* context, const void* data, uint32_t length);
// Writes the digest, then sets the whole context to zero bytes.
void Md5Final(uint8_t digest[MD5_DIGEST_SIZE], MD5CTX* context);
// One shot: init, one update over the buffer, final.
void Md5Buffer(uint8_t digest[MD5_DIGEST_SIZE], const void* data, uint32_t length);
