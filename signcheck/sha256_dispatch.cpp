// Chooses the SHA-256 block function once, by cpuid.
#include "signcheck/sha256_dispatch.h"

#include "common/compiler.h"
#include "signcheck/sha256_blocks.h"

namespace {

constexpr uint32_t CPUID_FEATURES_LEAF = 1;
constexpr uint32_t CPUID_EXTENDED_FEATURES_LEAF = 7;
constexpr uint32_t CPUID_ECX_SSSE3 = 1u << 9;
constexpr uint32_t CPUID_ECX_SSE41 = 1u << 19;
constexpr uint32_t CPUID_EBX_SHA = 1u << 29;

bool DetectHardware() {
  if (ExecuteCpuid(0, 0).eax < CPUID_EXTENDED_FEATURES_LEAF) return false;
  uint32_t ecx = ExecuteCpuid(CPUID_FEATURES_LEAF, 0).ecx;
  uint32_t ebx = ExecuteCpuid(CPUID_EXTENDED_FEATURES_LEAF, 0).ebx;
  return (ecx & CPUID_ECX_SSSE3) && (ecx & CPUID_ECX_SSE41) && (ebx & CPUID_EBX_SHA);
}

SHA256BLOCKSFUNCTION& ActiveSlot() {
  static SHA256BLOCKSFUNCTION active =
      Sha256HardwareAvailable() ? Sha256BlocksHardware : Sha256BlocksPortable;
  return active;
}

}  // namespace

bool Sha256HardwareAvailable() {
  static const bool available = DetectHardware();
  return available;
}

bool Sha256SelectImplementation(SHA256IMPLEMENTATION implementation) {
  if (implementation == SHA256IMPLEMENTATION::HARDWARE) {
    if (!Sha256HardwareAvailable()) return false;
    ActiveSlot() = Sha256BlocksHardware;
  } else {
    ActiveSlot() = Sha256BlocksPortable;
  }
  return true;
}

SHA256BLOCKSFUNCTION Sha256ActiveBlocks() { return ActiveSlot(); }
