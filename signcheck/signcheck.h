// The launcher's own signature verifier: does a PE file carry a valid signature of the suite's
// maker, and of which kind?
#pragma once

#include <stddef.h>
#include <stdint.h>

// Trust levels written through the caller's level pointer.
constexpr int32_t TRUST_NONE = 0;     // no container; or a kind-0 record without authorization
constexpr int32_t TRUST_INVALID = 1;  // a container is present but does not verify
constexpr int32_t TRUST_EXPIRED = 2;  // verifies, but its expiry has passed
constexpr int32_t TRUST_VALID = 3;    // verifies and has not expired

// Signature kinds.
constexpr int32_t SIGKIND_RECORD1 = 0;   // own certificate entry, record type 1 (machine-bound)
constexpr int32_t SIGKIND_RECORD2 = 1;   // own certificate entry, record type 2
constexpr int32_t SIGKIND_RECORD3 = 2;   // own certificate entry, record type 3
constexpr int32_t SIGKIND_RESOURCE = 3;  // the signature resource
constexpr int32_t SIGKIND_TRAILING = 4;  // the trailing signature block

// Verification status.
constexpr int32_t SIGSTATUS_FOUND = 0;
constexpr int32_t SIGSTATUS_NONE = 1;
constexpr int32_t SIGSTATUS_BUFFER_TOO_SMALL = 2;  // entryLength holds the length needed
constexpr int32_t SIGSTATUS_NO_BUFFER = 3;

// The work buffer a certificate-table entry is read into, when the caller brings none.
constexpr uint32_t SIGNCHECK_WORK_BUFFER_SIZE = 8192;

struct SIGNINFO {
  int32_t status;
  int32_t kind;
  const wchar_t* text4;  // attributes 4 to 7: zero-terminated UTF-16 inside the work buffer
  const wchar_t* text5;
  const wchar_t* text6;
  const wchar_t* text7;
  uint64_t value8;  // attribute 8; 0 when absent
  uint64_t expiry;  // attribute 9, a FILETIME (UTC); 0 when absent or never
};

struct VERIFYINFO {
  SIGNINFO sign;
  uint32_t entryLength;  // bytes of the entry read, or the length needed with status 2
  uint8_t* buffer;       // caller-owned work buffer; the texts point into it
  uint32_t bufferSize;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SIGNINFO) == 40, "SIGNINFO layout");
static_assert(offsetof(VERIFYINFO, entryLength) == 40, "VERIFYINFO layout");
static_assert(offsetof(VERIFYINFO, bufferSize) == 48, "VERIFYINFO layout");
#endif

// Opens the file for reading (sharing reads only) and verifies it. Returns 1 when a verdict was
// reached (written to *level when level is given), 0 on failure with *level untouched and the
// cause reported to the thread's error record. info may be null (an own 8192-byte buffer is
// used); level null parses a certificate-table entry without verifying it.
int VerifyFileSignature(const wchar_t* path, VERIFYINFO* info, int32_t* level);

// The same for a Win32 file handle already open for reading. The file pointer moves.
int VerifyImageSignature(void* file, VERIFYINFO* info, int32_t* level);
