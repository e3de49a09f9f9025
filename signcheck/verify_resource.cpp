#include <string.h>

#include "signcheck/keys.h"
#include "signcheck/signcheck.h"
#include "signcheck/verification.h"

void VerifyResourceSignature(IMAGEOBJ* image, int32_t* level) {
  if (image->info.resourceRootOffset == 0) {
    *level = TRUST_NONE;
    return;
  }
  *level = TRUST_INVALID;

  uint8_t digest[MD5_DIGEST_SIZE];
  if (!ResourceDigest(image, digest)) return;

  uint8_t data[MD5_DIGEST_SIZE];
  uint32_t dataLength = sizeof data;
  if (RsaPublicDecrypt1024(&ResourceKey, image->info.resourceSignature, SIGNATURE_RESOURCE_SIZE,
                           data, &dataLength) != RSA_SUCCESS) {
    return;
  }
  if (dataLength == MD5_DIGEST_SIZE && memcmp(data, digest, MD5_DIGEST_SIZE) == 0) {
    *level = TRUST_VALID;
  }
}
