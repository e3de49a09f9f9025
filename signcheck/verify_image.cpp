#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "errobj/errobj.h"
#include "signcheck/keys.h"
#include "signcheck/machine_auth.h"
#include "signcheck/report_sources.h"
#include "signcheck/signature_record.h"
#include "signcheck/signcheck.h"
#include "signcheck/verification.h"

namespace {

// What one verification owns: the image object and, without a caller's record, the work buffer.
struct VERIFICATIONRESOURCES {
  IMAGEOBJ* image = nullptr;
  uint8_t* ownBuffer = nullptr;
  ~VERIFICATIONRESOURCES() {
    free(image);
    free(ownBuffer);
  }
};

enum class EntryOutcome { Verdict, Failure };

// The first own certificate entry: read, parse and (with a level) verify it.
EntryOutcome CheckFirstOwnEntry(IMAGEOBJ* image, uint32_t index, uint8_t* buffer,
                                uint32_t bufferSize, VERIFYINFO* info, bool verify,
                                SIGNINFO* sign, int32_t* verdict) {
  uint32_t length = bufferSize;
  if (!ReadCertEntry(image, index, buffer, &length)) {
    // Only a length beyond the buffer asks for a larger one; a padding read that failed also
    // hands back the entry's length, and a retry with that buffer could never succeed.
    if (length > bufferSize && info != nullptr) {
      info->sign.status = SIGSTATUS_BUFFER_TOO_SMALL;
      info->entryLength = length;
    }
    return EntryOutcome::Failure;
  }

  *verdict = TRUST_INVALID;
  const uint8_t* signature = nullptr;
  const uint8_t* attributes = nullptr;
  int32_t signatureLength = 0;
  int32_t attributesLength = 0;
  if (!ParseSignatureRecord(buffer, length, sign, &signature, &signatureLength, &attributes,
                            &attributesLength)) {
    return EntryOutcome::Verdict;
  }
  if (info != nullptr) {
    info->sign.status = SIGSTATUS_FOUND;
    info->entryLength = length;
  }
  if (!verify || !CertPaddingIsZero(image)) return EntryOutcome::Verdict;

  const RSAKEY1024* key = &EntryKey;
  if (sign->kind == SIGKIND_RECORD1) {
    // The machine-bound kind counts only on a machine that holds a valid authorization.
    if (CheckMachineAuthorization() != MACHINEAUTH_VALID) {
      *verdict = TRUST_NONE;
      return EntryOutcome::Verdict;
    }
    key = &BoundEntryKey;
  }

  uint8_t digest[MD5_DIGEST_SIZE];
  int checksumMatches = 0;
  if (!CertEntryDigest(image, attributes, uint32_t(attributesLength), digest, &checksumMatches)) {
    return EntryOutcome::Failure;
  }
  if (!checksumMatches) return EntryOutcome::Verdict;

  uint8_t data[MD5_DIGEST_SIZE];
  uint32_t dataLength = sizeof data;
  if (RsaPublicDecrypt1024(key, signature, uint32_t(signatureLength), data, &dataLength) !=
      RSA_SUCCESS) {
    return EntryOutcome::Verdict;
  }
  if (dataLength != MD5_DIGEST_SIZE || memcmp(data, digest, MD5_DIGEST_SIZE) != 0) {
    return EntryOutcome::Verdict;
  }
  *verdict = IsExpired(sign->expiry) ? TRUST_EXPIRED : TRUST_VALID;
  return EntryOutcome::Verdict;
}

}  // namespace

int VerifyImageSignature(void* file, VERIFYINFO* info, int32_t* level) {
  int32_t verdict = TRUST_NONE;
  SIGNINFO sign;
  memset(&sign, 0, sizeof sign);
  uint8_t block[TRAILING_BLOCK_SIZE];
  memset(block, 0, sizeof block);
  VERIFICATIONRESOURCES owned;

  uint8_t* buffer = nullptr;
  uint32_t bufferSize = 0;
  if (info != nullptr) {
    info->sign.status = SIGSTATUS_NONE;
    info->entryLength = 0;
    if (info->buffer == nullptr || info->bufferSize == 0) {
      info->sign.status = SIGSTATUS_NO_BUFFER;
      return 0;
    }
    buffer = info->buffer;
    bufferSize = info->bufferSize;
  } else {
    owned.ownBuffer = static_cast<uint8_t*>(malloc(SIGNCHECK_WORK_BUFFER_SIZE));
    if (owned.ownBuffer == nullptr) {
      REPORT_OUT_OF_MEMORY(CERTIFICATE_REPORT_SOURCE);
      return 0;
    }
    buffer = owned.ownBuffer;
    bufferSize = SIGNCHECK_WORK_BUFFER_SIZE;
  }

  owned.image = OpenImage(static_cast<HANDLE>(file));
  if (owned.image == nullptr) return 0;

  int found = 0;
  if (!LocateTrailingBlock(owned.image, block, &found)) return 0;
  if (found) {
    VerifyTrailingBlock(block, owned.image, &verdict);
    sign.kind = SIGKIND_TRAILING;
    if (info != nullptr) info->sign.status = SIGSTATUS_FOUND;
  } else {
    uint32_t indexes[MAX_CERT_ENTRIES];
    uint32_t count = 0;
    if (!ListOwnCertEntries(indexes, &count, owned.image)) return 0;
    if (count == 0) {
      VerifyResourceSignature(owned.image, &verdict);
      if (verdict != TRUST_NONE) {
        sign.kind = SIGKIND_RESOURCE;
        if (info != nullptr) info->sign.status = SIGSTATUS_FOUND;
      }
    } else if (CheckFirstOwnEntry(owned.image, indexes[0], buffer, bufferSize, info,
                                  level != nullptr, &sign, &verdict) == EntryOutcome::Failure) {
      return 0;
    }
  }

  if (level != nullptr) *level = verdict;
  if (info != nullptr) {
    const int32_t status = info->sign.status;
    info->sign = sign;
    info->sign.status = status;
  }
  return 1;
}
