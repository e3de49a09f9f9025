// The container checks behind VerifyImageSignature. Each always completes and writes a verdict.
#pragma once

#include <stdint.h>

#include "signcheck/image.h"

// The 15 bytes that precede the image digest in an opened trailing-block signature: a DER
// DigestInfo header naming SHA-1, whose OCTET STRING holds the 32-byte SHA-256 image digest.
constexpr uint32_t TRAILING_DIGESTINFO_PREFIX_SIZE = 15;
constexpr uint8_t TRAILING_DIGESTINFO_PREFIX[TRAILING_DIGESTINFO_PREFIX_SIZE] = {
    0x30, 0x2D, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x20};
constexpr uint32_t TRAILING_SIGNED_DATA_SIZE = TRAILING_DIGESTINFO_PREFIX_SIZE + SHA256_DIGEST_SIZE;

// Writes TRUST_INVALID or TRUST_VALID for the trailing block as LocateTrailingBlock read it.
void VerifyTrailingBlock(const uint8_t block[TRAILING_BLOCK_SIZE], IMAGEOBJ* image,
                         int32_t* level);

// Writes TRUST_NONE without a signature resource, else TRUST_INVALID or TRUST_VALID.
void VerifyResourceSignature(IMAGEOBJ* image, int32_t* level);
