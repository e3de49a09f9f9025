// The few compiler-specific pieces of the project, kept in one place.
#pragma once

#include <stdint.h>

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#include <cpuid.h>
#else
#error "common/compiler.h supports GCC-compatible compilers for x86 only"
#endif

struct CPUIDRESULT {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
};

// Executes the processor identification instruction for a leaf and subleaf.
inline CPUIDRESULT ExecuteCpuid(uint32_t leaf, uint32_t subleaf) {
  CPUIDRESULT r;
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
}
