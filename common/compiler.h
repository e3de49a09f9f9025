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

#if defined(_WIN32) && defined(__i386__)
// mingw has no __try for i686, so the guard below registers its own frame on the FS:[0] chain.
// The frame is four words: previous frame, handler, resume address, frame pointer to restore.
// The handler touches three CONTEXT fields and the record flags at their fixed i386 offsets
// (pinned against windows.h where the guard is used), so this header stays free of windows.h.
constexpr uint32_t GUARD_RECORD_FLAGS_OFFSET = 4;  // EXCEPTION_RECORD.ExceptionFlags
constexpr uint32_t GUARD_UNWIND_FLAGS = 0x6;       // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND
constexpr uint32_t GUARD_CONTEXT_EBP_OFFSET = 180;
constexpr uint32_t GUARD_CONTEXT_EIP_OFFSET = 184;
constexpr uint32_t GUARD_CONTEXT_ESP_OFFSET = 196;
constexpr int GUARD_CONTINUE_EXECUTION = 0;  // ExceptionContinueExecution
constexpr int GUARD_CONTINUE_SEARCH = 1;     // ExceptionContinueSearch

extern "C" inline __attribute__((used)) int __cdecl CompilerGuardHandler(
    void* record, void* frame, void* context, void* /*dispatcherContext*/) {
  uint32_t flags;
  __builtin_memcpy(&flags, static_cast<char*>(record) + GUARD_RECORD_FLAGS_OFFSET, 4);
  if (flags & GUARD_UNWIND_FLAGS) return GUARD_CONTINUE_SEARCH;
  const uint32_t* registration = static_cast<const uint32_t*>(frame);
  const uint32_t esp = reinterpret_cast<uint32_t>(frame);
  char* fields = static_cast<char*>(context);
  __builtin_memcpy(fields + GUARD_CONTEXT_EIP_OFFSET, &registration[2], 4);
  __builtin_memcpy(fields + GUARD_CONTEXT_EBP_OFFSET, &registration[3], 4);
  __builtin_memcpy(fields + GUARD_CONTEXT_ESP_OFFSET, &esp, 4);
  return GUARD_CONTINUE_EXECUTION;
}

// Returns 1 after procedure(argument) returned, 0 when any exception was raised inside it.
extern "C" inline __attribute__((naked, used)) int __cdecl CompilerRunGuarded(
    void (*/*procedure*/)(void*), void* /*argument*/) {
  __asm__(
      "pushl %ebp\n\t"
      "movl %esp, %ebp\n\t"
      "pushl %ebx\n\t"
      "pushl %esi\n\t"
      "pushl %edi\n\t"
      "pushl %ebp\n\t"
      "pushl $1f\n\t"
      "pushl $_CompilerGuardHandler\n\t"
      "pushl %fs:0\n\t"
      "movl %esp, %fs:0\n\t"
      "pushl 12(%ebp)\n\t"
      "call *8(%ebp)\n\t"
      "addl $4, %esp\n\t"
      "movl $1, %eax\n\t"
      "jmp 2f\n"
      "1:\n\t"
      "xorl %eax, %eax\n"
      "2:\n\t"
      "popl %fs:0\n\t"
      "addl $12, %esp\n\t"
      "popl %edi\n\t"
      "popl %esi\n\t"
      "popl %ebx\n\t"
      "popl %ebp\n\t"
      "ret\n");
}

// Runs procedure(argument) under a handler that accepts any structured exception (the
// equivalent of __except(EXCEPTION_EXECUTE_HANDLER)). The procedure's frames are abandoned
// without unwinding when it raises, so it must hold no resource across the raising point.
inline bool RunGuarded(void (*procedure)(void*), void* argument) {
  return CompilerRunGuarded(procedure, argument) != 0;
}
#endif
