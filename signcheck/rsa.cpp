// RSA public operation and PKCS #1 v1.5 type-1 unpadding. Each size runs on digit arrays of its
// own fixed capacity, on the stack.
#include "signcheck/rsa.h"

#include <string.h>

#include "signcheck/bignum.h"

namespace {

constexpr uint32_t PKCS1_MIN_PADDING_OVERHEAD = 11;  // 00 01, at least eight FF, 00
constexpr uint32_t PKCS1_MIN_BLOCK_BYTES = 3;        // 00 01 and a separator: below this no block
constexpr uint8_t PKCS1_BLOCK_TYPE_1 = 0x01;
constexpr uint8_t PKCS1_PAD_BYTE = 0xFF;

// block := input^exponent mod modulus as `blockBytes` big-endian bytes.
// 1025 for a zero modulus, an input not below it, or a modulus longer than the block.
template <uint32_t FIELD_BYTES>
uint32_t PublicBlock(const uint8_t* modulusField, const uint8_t* exponentField, const uint8_t* input,
                     uint32_t inputLength, uint8_t* block, uint32_t blockBytes) {
  static_assert(FIELD_BYTES % BIGNUM_DIGIT_BYTES == 0, "a key field holds whole digits");
  constexpr uint32_t DIGITS = FIELD_BYTES / BIGNUM_DIGIT_BYTES;
  uint32_t modulus[DIGITS];
  uint32_t exponent[DIGITS];
  uint32_t base[DIGITS];
  BigFromBytes(modulus, DIGITS, modulusField, FIELD_BYTES);
  BigFromBytes(exponent, DIGITS, exponentField, FIELD_BYTES);
  BigFromBytes(base, DIGITS, input, inputLength);

  const uint32_t modulusDigits = BigSignificantDigits(modulus, DIGITS);
  if (modulusDigits == 0) return RSA_DATA_ERROR;
  // A key whose modulus is longer than its bit count says cannot yield a block of that length.
  if (BigBitLength(modulus, DIGITS) > 8 * blockBytes) return RSA_DATA_ERROR;
  // Compared over all digits: an input digit above the modulus's top digit is never below it.
  if (BigCompare(base, modulus, DIGITS) >= 0) return RSA_DATA_ERROR;

  uint32_t result[DIGITS];
  uint32_t workspace[BigModExpWorkspaceDigits(DIGITS)];
  BigModExp(result, base, exponent, BigSignificantDigits(exponent, DIGITS), modulus, modulusDigits,
            workspace);
  BigToBytes(block, blockBytes, result, modulusDigits);
  return RSA_SUCCESS;
}

// Checks a type-1 block of `blockBytes` bytes and copies out its data.
uint32_t UnpadType1(const uint8_t* block, uint32_t blockBytes, uint8_t* output,
                    uint32_t* outputLength) {
  if (blockBytes < PKCS1_MIN_BLOCK_BYTES) return RSA_DATA_ERROR;
  if (block[0] != 0x00 || block[1] != PKCS1_BLOCK_TYPE_1) return RSA_DATA_ERROR;
  uint32_t position = 2;
  while (position < blockBytes - 1 && block[position] == PKCS1_PAD_BYTE) ++position;
  if (block[position] != 0x00) return RSA_DATA_ERROR;
  const uint32_t dataLength = blockBytes - (position + 1);
  // Too long for the caller wins over a short FF run.
  if (dataLength > *outputLength) return RSA_LENGTH_ERROR;
  *outputLength = dataLength;
  if (dataLength + PKCS1_MIN_PADDING_OVERHEAD > blockBytes) return RSA_DATA_ERROR;
  memcpy(output, block + position + 1, dataLength);
  return RSA_SUCCESS;
}

template <typename KEY, uint32_t FIELD_BYTES>
uint32_t PublicDecrypt(const KEY* key, const uint8_t* input, uint32_t inputLength, uint8_t* output,
                       uint32_t* outputLength) {
  const uint32_t blockBytes = (uint32_t(key->bits) + 7) / 8;
  uint8_t block[FIELD_BYTES];
  uint32_t result = PublicBlock<FIELD_BYTES>(key->modulus, key->exponent, input, inputLength, block,
                                             blockBytes);
  if (result != RSA_SUCCESS) return result;
  return UnpadType1(block, blockBytes, output, outputLength);
}

}  // namespace

uint32_t RsaPublicDecrypt4096(const RSAKEY4096* key, const uint8_t* input, uint8_t* output,
                              uint32_t* outputLength) {
  // Only a key of the full size is taken (bits 4089 to 4096); a bit count above the field
  // cannot be a key at all.
  const uint32_t blockBytes = (uint32_t(key->bits) + 7) / 8;
  if (blockBytes != RSA4096_BYTES) return RSA_LENGTH_ERROR;
  return PublicDecrypt<RSAKEY4096, RSA4096_BYTES>(key, input, RSA4096_BYTES, output, outputLength);
}

uint32_t RsaPublicDecrypt1024(const RSAKEY1024* key, const uint8_t* input, uint32_t inputLength,
                              uint8_t* output, uint32_t* outputLength) {
  const uint32_t blockBytes = (uint32_t(key->bits) + 7) / 8;
  // A bit count above the field would make the block longer than any number the key holds.
  if (blockBytes > RSA1024_BYTES || inputLength > blockBytes) return RSA_LENGTH_ERROR;
  return PublicDecrypt<RSAKEY1024, RSA1024_BYTES>(key, input, inputLength, output, outputLength);
}
