// SHA-256 (FIPS 180-2). No heap, no windows.h. The block function is the processor's SHA
// extensions when cpuid reports them, else portable code (signcheck/sha256_dispatch.h).
#pragma once

#include <stdint.h>

constexpr uint32_t SHA256_DIGEST_SIZE = 32;
constexpr uint32_t SHA256_BLOCK_SIZE = 64;

struct SHA256CTX {
  uint32_t state[8];  // H0 to H7
  uint64_t count;     // bytes processed
  uint8_t buffer[SHA256_BLOCK_SIZE];
};

void Sha256Init(SHA256CTX* context);
// Appends length bytes. Has the shape of a digest-walk callback and always answers 1.
int Sha256Update(SHA256CTX* context, const void* data, uint32_t length);
// Writes the digest, then re-initialises the context so that it can be used again at once.
void Sha256Final(uint8_t digest[SHA256_DIGEST_SIZE], SHA256CTX* context);
