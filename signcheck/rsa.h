// RSA public-key operation with PKCS #1 v1.5 type-1 unpadding, for 4096- and 1024-bit keys.
// Fixed digit arrays on the stack; no heap, no windows.h.
#pragma once

#include <stdint.h>

constexpr uint32_t RSA4096_BYTES = 512;
constexpr uint32_t RSA1024_BYTES = 128;

// Result codes.
constexpr uint32_t RSA_SUCCESS = 0;
constexpr uint32_t RSA_DATA_ERROR = 1025;    // zero modulus, input not below it, bad type-1 block
constexpr uint32_t RSA_LENGTH_ERROR = 1030;  // input longer than the modulus, data over capacity

// Key records: little-endian bit count, big-endian right-aligned numbers, no padding.
struct RSAKEY4096 {
  uint16_t bits;
  uint8_t modulus[RSA4096_BYTES];
  uint8_t exponent[RSA4096_BYTES];
};
struct RSAKEY1024 {
  uint16_t bits;
  uint8_t modulus[RSA1024_BYTES];
  uint8_t exponent[RSA1024_BYTES];
};
static_assert(sizeof(RSAKEY4096) == 1026, "RSAKEY4096 layout");
static_assert(sizeof(RSAKEY1024) == 258, "RSAKEY1024 layout");

// Checks in this order: lengths (1030), then the modulus and the input (1025), then the block;
// within the block a data length over the capacity (1030) wins over a short FF run (1025).
// Key records that break the record invariant are refused rather than read past: a bit count
// above the field gives 1030, a modulus longer than its bit count 1025.

// input is exactly 512 bytes; a key with bits <= 4088 gives 1030 before any arithmetic.
// *outputLength: capacity in, data length out on success.
// On a nonzero result output and *outputLength are to be ignored.
uint32_t RsaPublicDecrypt4096(const RSAKEY4096* key, const uint8_t* input, uint8_t* output,
                              uint32_t* outputLength);
// inputLength above the modulus length gives 1030; a signature shorter than the modulus is taken
// with leading zero bytes. Keys shorter than 1024 bits are taken (blocks of (bits + 7) / 8 bytes).
uint32_t RsaPublicDecrypt1024(const RSAKEY1024* key, const uint8_t* input, uint32_t inputLength,
                              uint8_t* output, uint32_t* outputLength);
