// SHA-256 (FIPS 180-2). Whole blocks go from the caller's input straight to the block function;
// only a partial block is kept in the context's buffer.
#include "signcheck/sha256.h"

#include <string.h>

#include "signcheck/sha256_blocks.h"

namespace {

constexpr uint32_t SHA256_LENGTH_FIELD_SIZE = 8;  // bit count, big-endian
constexpr uint32_t SHA256_LENGTH_OFFSET = SHA256_BLOCK_SIZE - SHA256_LENGTH_FIELD_SIZE;

inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint32_t Ch(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (~x & z); }
inline uint32_t Maj(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (x & z) ^ (y & z); }
inline uint32_t Sigma0(uint32_t x) { return Rotr(x, 2) ^ Rotr(x, 13) ^ Rotr(x, 22); }
inline uint32_t Sigma1(uint32_t x) { return Rotr(x, 6) ^ Rotr(x, 11) ^ Rotr(x, 25); }
inline uint32_t SmallSigma0(uint32_t x) { return Rotr(x, 7) ^ Rotr(x, 18) ^ (x >> 3); }
inline uint32_t SmallSigma1(uint32_t x) { return Rotr(x, 17) ^ Rotr(x, 19) ^ (x >> 10); }

// One round with the roles of the eight working variables passed in rotated order, so that no
// variable is copied: only d and h change.
inline void Round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f,
                  uint32_t g, uint32_t& h, uint32_t constantPlusWord) {
  const uint32_t t1 = h + Sigma1(e) + Ch(e, f, g) + constantPlusWord;
  d += t1;
  h = t1 + Sigma0(a) + Maj(a, b, c);
}

// Eight rounds from t on; after them the variables are back in their places.
#define SHA256_EIGHT_ROUNDS(word)                                      \
  Round(a, b, c, d, e, f, g, h, SHA256_ROUND_CONSTANTS[t] + word(t));  \
  Round(h, a, b, c, d, e, f, g, SHA256_ROUND_CONSTANTS[t + 1] + word(t + 1)); \
  Round(g, h, a, b, c, d, e, f, SHA256_ROUND_CONSTANTS[t + 2] + word(t + 2)); \
  Round(f, g, h, a, b, c, d, e, SHA256_ROUND_CONSTANTS[t + 3] + word(t + 3)); \
  Round(e, f, g, h, a, b, c, d, SHA256_ROUND_CONSTANTS[t + 4] + word(t + 4)); \
  Round(d, e, f, g, h, a, b, c, SHA256_ROUND_CONSTANTS[t + 5] + word(t + 5)); \
  Round(c, d, e, f, g, h, a, b, SHA256_ROUND_CONSTANTS[t + 6] + word(t + 6)); \
  Round(b, c, d, e, f, g, h, a, SHA256_ROUND_CONSTANTS[t + 7] + word(t + 7))

void Transform(uint32_t state[8], const uint8_t block[SHA256_BLOCK_SIZE]) {
  uint32_t w[16];  // the message schedule, expanded in place as a circular array
  for (int i = 0; i < 16; ++i) w[i] = LoadBe32(block + 4 * i);
  auto loaded = [&](int t) { return w[t]; };
  auto expanded = [&](int t) {
    return w[t & 15] += SmallSigma1(w[(t - 2) & 15]) + w[(t - 7) & 15] +
                        SmallSigma0(w[(t - 15) & 15]);
  };
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int t = 0; t < 16; t += 8) {
    SHA256_EIGHT_ROUNDS(loaded);
  }
  for (int t = 16; t < 64; t += 8) {
    SHA256_EIGHT_ROUNDS(expanded);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#undef SHA256_EIGHT_ROUNDS

}  // namespace

alignas(16) const uint32_t SHA256_ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

void Sha256BlocksPortable(uint32_t state[8], const uint8_t* blocks, size_t blockCount) {
  for (size_t i = 0; i < blockCount; ++i) Transform(state, blocks + i * SHA256_BLOCK_SIZE);
}

void Sha256Init(SHA256CTX* context) {
  static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(context->state, initial, sizeof(initial));
  context->count = 0;
}

int Sha256Update(SHA256CTX* context, const void* data, uint32_t length) {
  const uint8_t* input = static_cast<const uint8_t*>(data);
  uint32_t index = uint32_t(context->count % SHA256_BLOCK_SIZE);
  context->count += length;
  SHA256BLOCKSFUNCTION blocks = Sha256ActiveBlocks();

  if (index != 0) {
    uint32_t partLength = SHA256_BLOCK_SIZE - index;
    if (length < partLength) {
      memcpy(context->buffer + index, input, length);
      return 1;
    }
    memcpy(context->buffer + index, input, partLength);
    blocks(context->state, context->buffer, 1);
    input += partLength;
    length -= partLength;
  }
  uint32_t wholeBlocks = length / SHA256_BLOCK_SIZE;
  if (wholeBlocks != 0) blocks(context->state, input, wholeBlocks);
  memcpy(context->buffer, input + wholeBlocks * SHA256_BLOCK_SIZE, length % SHA256_BLOCK_SIZE);
  return 1;
}

void Sha256Final(uint8_t digest[SHA256_DIGEST_SIZE], SHA256CTX* context) {
  SHA256BLOCKSFUNCTION blocks = Sha256ActiveBlocks();
  uint32_t index = uint32_t(context->count % SHA256_BLOCK_SIZE);
  context->buffer[index++] = 0x80;
  if (index > SHA256_LENGTH_OFFSET) {
    memset(context->buffer + index, 0, SHA256_BLOCK_SIZE - index);
    blocks(context->state, context->buffer, 1);
    index = 0;
  }
  memset(context->buffer + index, 0, SHA256_LENGTH_OFFSET - index);
  uint64_t bitCount = context->count * 8;
  StoreBe32(context->buffer + SHA256_LENGTH_OFFSET, uint32_t(bitCount >> 32));
  StoreBe32(context->buffer + SHA256_LENGTH_OFFSET + 4, uint32_t(bitCount));
  blocks(context->state, context->buffer, 1);

  for (int i = 0; i < 8; ++i) StoreBe32(digest + 4 * i, context->state[i]);
  memset(context->buffer, 0, SHA256_BLOCK_SIZE);
  Sha256Init(context);
}
