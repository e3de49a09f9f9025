// The RSA public operation: result codes and their order on crafted blocks, signatures made by
// OpenSSL, one-byte flips of a valid block, and the arithmetic against Python's pow.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rsa_vectors.h"
#include "signcheck/bignum.h"
#include "signcheck/keys.h"
#include "signcheck/rsa.h"

namespace {

constexpr uint8_t OUTPUT_MARKER = 0xCC;
constexpr uint32_t OUTPUT_ROOM = 600;

struct DECRYPTION {
  uint32_t code;
  std::vector<uint8_t> data;
};

// 1024-size calls take the input length; 4096-size calls are given exactly 512 bytes.
DECRYPTION Decrypt(uint32_t size, uint32_t key, const uint8_t* input, uint32_t inputLength,
                   uint32_t capacity) {
  std::vector<uint8_t> output(OUTPUT_ROOM, OUTPUT_MARKER);
  uint32_t length = capacity;
  DECRYPTION d;
  if (size == 4096) {
    EXPECT_EQ(RSA4096_BYTES, inputLength);
    d.code = RsaPublicDecrypt4096(&TEST_KEYS_4096[key], input, output.data(), &length);
  } else {
    d.code = RsaPublicDecrypt1024(&TEST_KEYS_1024[key], input, inputLength, output.data(), &length);
  }
  if (d.code == RSA_SUCCESS) {
    EXPECT_LE(length, capacity);
    EXPECT_EQ(OUTPUT_MARKER, output[length]) << "wrote past the data";
    d.data.assign(output.begin(), output.begin() + length);
  }
  return d;
}

TEST(RsaPublicDecrypt, CasesTable) {
  for (const RSACASE& c : RSA_CASES) {
    SCOPED_TRACE(c.name);
    DECRYPTION d = Decrypt(c.size, c.key, c.input, c.inputLength, c.capacity);
    EXPECT_EQ(c.code, d.code);
    if (c.code == RSA_SUCCESS) {
      EXPECT_EQ(std::vector<uint8_t>(c.data, c.data + c.dataLength), d.data);
    }
  }
}

// A flip in the padding must fail the operation; a flip in the data must change the data.
TEST(RsaPublicDecrypt, EveryFlippedByteIsRejected) {
  for (const RSAFLIP& f : RSA_FLIPS) {
    SCOPED_TRACE(testing::Message() << f.size << "-bit block, byte " << f.position);
    const bool big = f.size == 4096;
    const uint32_t inputLength = big ? RSA4096_BYTES : RSA1024_BYTES;
    const uint8_t* expected = big ? FLIP_DATA_4096 : FLIP_DATA_1024;
    const uint32_t capacity = big ? sizeof(FLIP_DATA_4096) : sizeof(FLIP_DATA_1024);
    DECRYPTION d = Decrypt(f.size, 0, f.input, inputLength, capacity);
    if (f.position < (big ? FLIP_DATA_START_4096 : FLIP_DATA_START_1024)) {
      EXPECT_NE(RSA_SUCCESS, d.code);
    } else {
      ASSERT_EQ(RSA_SUCCESS, d.code);
      EXPECT_NE(std::vector<uint8_t>(expected, expected + capacity), d.data);
    }
  }
}

TEST(CompiledKeys, OpenSignaturesOfTheTestKeys) {
#if SIGNCHECK_TEST_KEYS_COMPILED
  for (const COMPILEDKEYSIGNATURE& s : COMPILED_KEY_SIGNATURES) {
    SCOPED_TRACE(s.key);
    uint8_t output[64];
    uint32_t length = s.dataLength;
    uint32_t code;
    if (std::string(s.key) == "BlockKey") {
      const BLOCKKEYENTRY* entry = FindBlockKey(1);
      ASSERT_NE(nullptr, entry);
      ASSERT_EQ(s.inputLength, RSA4096_BYTES);
      code = RsaPublicDecrypt4096(entry->key, s.input, output, &length);
    } else {
      const RSAKEY1024* key = std::string(s.key) == "EntryKey"        ? &EntryKey
                              : std::string(s.key) == "BoundEntryKey" ? &BoundEntryKey
                              : std::string(s.key) == "ResourceKey"   ? &ResourceKey
                                                                      : &AuthorizationKey;
      code = RsaPublicDecrypt1024(key, s.input, s.inputLength, output, &length);
    }
    ASSERT_EQ(RSA_SUCCESS, code);
    EXPECT_EQ(std::vector<uint8_t>(s.data, s.data + s.dataLength),
              std::vector<uint8_t>(output, output + length));
  }
#else
  GTEST_SKIP() << "the build compiles in keys from another directory than tests/keys";
#endif
}

TEST(CompiledKeys, BlockKeyTableHoldsVersionOneOnly) {
  ASSERT_EQ(1u, BLOCK_KEY_COUNT);
  EXPECT_EQ(1, BlockKeyTable[0].version);
  EXPECT_EQ(&BlockKey, BlockKeyTable[0].key);
  EXPECT_EQ(sizeof(RSAKEY4096), BlockKeyTable[0].size);
  EXPECT_EQ(&BlockKeyTable[0], FindBlockKey(1));
  EXPECT_EQ(nullptr, FindBlockKey(0));
  EXPECT_EQ(nullptr, FindBlockKey(2));
}

TEST(BigModExp, MatchesPow) {
  for (const BIGNUMCASE& c : BIGNUM_CASES) {
    SCOPED_TRACE(c.name);
    const uint32_t bytes = 4 * c.digits;
    std::vector<uint32_t> modulus(c.digits), base(c.digits), exponent(c.digits), result(c.digits);
    BigFromBytes(modulus.data(), c.digits, c.modulus, bytes);
    BigFromBytes(base.data(), c.digits, c.base, bytes);
    BigFromBytes(exponent.data(), c.digits, c.exponent, bytes);
    std::vector<uint32_t> workspace(BigModExpWorkspaceDigits(c.digits));
    BigModExp(result.data(), base.data(), exponent.data(), c.digits, modulus.data(), c.digits,
              workspace.data());
    std::vector<uint8_t> out(bytes);
    BigToBytes(out.data(), bytes, result.data(), c.digits);
    EXPECT_EQ(std::vector<uint8_t>(c.expected, c.expected + bytes), out);
  }
}

}  // namespace
