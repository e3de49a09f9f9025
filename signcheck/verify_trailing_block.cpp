#include <string.h>

#include "signcheck/byteorder.h"
#include "signcheck/keys.h"
#include "signcheck/signcheck.h"
#include "signcheck/verification.h"

void VerifyTrailingBlock(const uint8_t block[TRAILING_BLOCK_SIZE], IMAGEOBJ* image,
                         int32_t* level) {
  *level = TRUST_INVALID;
  const BLOCKKEYENTRY* entry = FindBlockKey(DecodeLe16(block + TRAILING_KEY_VERSION_OFFSET));
  if (entry == nullptr) return;

  uint8_t digest[SHA256_DIGEST_SIZE];
  if (!TrailingBlockDigest(image, digest)) return;

  uint8_t data[TRAILING_SIGNED_DATA_SIZE];
  uint32_t dataLength = sizeof data;
  if (RsaPublicDecrypt4096(entry->key, block + TRAILING_SIGNATURE_OFFSET, data, &dataLength) !=
      RSA_SUCCESS) {
    return;
  }
  if (dataLength == TRAILING_SIGNED_DATA_SIZE &&
      memcmp(data, TRAILING_DIGESTINFO_PREFIX, TRAILING_DIGESTINFO_PREFIX_SIZE) == 0 &&
      memcmp(data + TRAILING_DIGESTINFO_PREFIX_SIZE, digest, SHA256_DIGEST_SIZE) == 0) {
    *level = TRUST_VALID;
  }
}
