// MD5 after the structure of the RFC 1321 reference code: whole blocks are transformed straight
// from the caller's input, only a partial block goes through the context's buffer.
#include "signcheck/md5.h"

#include <string.h>

namespace {

constexpr uint32_t MD5_LENGTH_FIELD_SIZE = 8;                                   // bit count
constexpr uint32_t MD5_LENGTH_OFFSET = MD5_BLOCK_SIZE - MD5_LENGTH_FIELD_SIZE;  // 56

inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, x, s, ac) a = b + Rotl(a + f(b, c, d) + (x) + (ac), s)

void Md5Transform(uint32_t state[4], const uint8_t block[MD5_BLOCK_SIZE]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLe32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478);
  MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756);
  MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070db);
  MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee);
  MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf);
  MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62a);
  MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613);
  MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501);
  MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8);
  MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af);
  MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1);
  MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be);
  MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122);
  MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193);
  MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e);
  MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821);

  MD5_STEP(G, a, b, c, d, x[1], 5, 0xf61e2562);
  MD5_STEP(G, d, a, b, c, x[6], 9, 0xc040b340);
  MD5_STEP(G, c, d, a, b, x[11], 14, 0x265e5a51);
  MD5_STEP(G, b, c, d, a, x[0], 20, 0xe9b6c7aa);
  MD5_STEP(G, a, b, c, d, x[5], 5, 0xd62f105d);
  MD5_STEP(G, d, a, b, c, x[10], 9, 0x02441453);
  MD5_STEP(G, c, d, a, b, x[15], 14, 0xd8a1e681);
  MD5_STEP(G, b, c, d, a, x[4], 20, 0xe7d3fbc8);
  MD5_STEP(G, a, b, c, d, x[9], 5, 0x21e1cde6);
  MD5_STEP(G, d, a, b, c, x[14], 9, 0xc33707d6);
  MD5_STEP(G, c, d, a, b, x[3], 14, 0xf4d50d87);
  MD5_STEP(G, b, c, d, a, x[8], 20, 0x455a14ed);
  MD5_STEP(G, a, b, c, d, x[13], 5, 0xa9e3e905);
  MD5_STEP(G, d, a, b, c, x[2], 9, 0xfcefa3f8);
  MD5_STEP(G, c, d, a, b, x[7], 14, 0x676f02d9);
  MD5_STEP(G, b, c, d, a, x[12], 20, 0x8d2a4c8a);

  MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942);
  MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681);
  MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122);
  MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c);
  MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44);
  MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9);
  MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60);
  MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70);
  MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6);
  MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa);
  MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085);
  MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05);
  MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039);
  MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5);
  MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8);
  MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665);

  MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244);
  MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97);
  MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7);
  MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039);
  MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3);
  MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92);
  MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d);
  MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1);
  MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f);
  MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
  MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314);
  MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1);
  MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82);
  MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235);
  MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
  MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

#undef MD5_STEP

}  // namespace

void Md5Init(MD5CTX* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  context->count[0] = 0;
  context->count[1] = 0;
}

void Md5Update(MD5CTX* context, const void* data, uint32_t length) {
  const uint8_t* input = static_cast<const uint8_t*>(data);
  uint32_t index = (context->count[0] >> 3) % MD5_BLOCK_SIZE;

  // The bit count is 64 bits wide: 8 * length carries into the high word.
  uint32_t addedBits = length << 3;
  context->count[0] += addedBits;
  if (context->count[0] < addedBits) ++context->count[1];
  context->count[1] += length >> 29;

  uint32_t partLength = MD5_BLOCK_SIZE - index;
  uint32_t i = 0;
  if (length >= partLength) {
    memcpy(context->buffer + index, input, partLength);
    Md5Transform(context->state, context->buffer);
    for (i = partLength; length - i >= MD5_BLOCK_SIZE; i += MD5_BLOCK_SIZE) {
      Md5Transform(context->state, input + i);
    }
    index = 0;
  }
  memcpy(context->buffer + index, input + i, length - i);
}

void Md5Final(uint8_t digest[MD5_DIGEST_SIZE], MD5CTX* context) {
  static const uint8_t padding[MD5_BLOCK_SIZE] = {0x80};
  uint8_t bitCount[MD5_LENGTH_FIELD_SIZE];
  StoreLe32(bitCount, context->count[0]);
  StoreLe32(bitCount + 4, context->count[1]);

  uint32_t index = (context->count[0] >> 3) % MD5_BLOCK_SIZE;
  uint32_t padLength = index < MD5_LENGTH_OFFSET ? MD5_LENGTH_OFFSET - index
                                                 : MD5_BLOCK_SIZE + MD5_LENGTH_OFFSET - index;
  Md5Update(context, padding, padLength);
  Md5Update(context, bitCount, MD5_LENGTH_FIELD_SIZE);

  for (int i = 0; i < 4; ++i) StoreLe32(digest + 4 * i, context->state[i]);
  memset(context, 0, sizeof(*context));
}

void Md5Buffer(uint8_t digest[MD5_DIGEST_SIZE], const void* data, uint32_t length) {
  MD5CTX context;
  Md5Init(&context);
  Md5Update(&context, data, length);
  Md5Final(digest, &context);
}
