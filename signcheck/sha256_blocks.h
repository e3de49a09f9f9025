// SHA-256 block functions behind the context operations. Internal to signcheck_crypto.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The 64 round constants of FIPS 180-2, aligned for vector loads.
alignas(16) extern const uint32_t SHA256_ROUND_CONSTANTS[64];

// Runs the compression function over blockCount consecutive 64-byte blocks.
using SHA256BLOCKSFUNCTION = void (*)(uint32_t state[8], const uint8_t* blocks, size_t blockCount);

void Sha256BlocksPortable(uint32_t state[8], const uint8_t* blocks, size_t blockCount);
// Needs the SHA extensions, SSSE3 and SSE4.1; only reached after the cpuid check.
void Sha256BlocksHardware(uint32_t state[8], const uint8_t* blocks, size_t blockCount);

// The block function chosen for this processor (or by Sha256SelectImplementation).
SHA256BLOCKSFUNCTION Sha256ActiveBlocks();
