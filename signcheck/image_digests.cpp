// The three container digests: which ranges of the file each one leaves out or zero-fills.
#include <stdlib.h>

#include "errobj/errobj.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

namespace {

int Md5Digest(void* context, const void* data, uint32_t length) {
  Md5Update(static_cast<MD5CTX*>(context), data, length);
  return 1;
}

// The ranges that the digests leave out or zero-fill, each by its name.
DIGESTRANGE CheckSumFieldRange(const IMAGEINFO& info, int32_t zeroFill, int32_t noRead) {
  return DIGESTRANGE{info.checksumFieldOffset, CHECKSUM_FIELD_SIZE, zeroFill, noRead};
}

DIGESTRANGE CertDirectoryEntryRange(const IMAGEINFO& info, int32_t zeroFill) {
  return DIGESTRANGE{info.certDirEntryOffset, DATA_DIRECTORY_ENTRY_SIZE, zeroFill, 0};
}

// An own entry with its padding: left out of the digest, summed into the checksum.
DIGESTRANGE OwnEntryRange(const IMAGEINFO& info, const CERTENTRY& entry) {
  const uint32_t paddedLength = (entry.length + (CERT_ALIGNMENT - 1)) & ~(CERT_ALIGNMENT - 1);
  return DIGESTRANGE{uint64_t(info.certTableOffset) + entry.offset, paddedLength, 0, 0};
}

DIGESTRANGE DriverHeaderAreaRange(const IMAGEINFO& info) {
  return DIGESTRANGE{info.driverHeaderOffset, DRIVER_HEADER_SIZE, 1, 0};
}

DIGESTRANGE TrailingSignatureRange(const IMAGEINFO& info) {
  return DIGESTRANGE{info.trailingSignatureOffset, info.trailingSignatureLength, 1, 0};
}

// Ends the walk: nothing from offset on is digested.
DIGESTRANGE WalkEnd(uint64_t offset) { return DIGESTRANGE{offset, 0, 1, 0}; }

}  // namespace

int CertEntryDigest(IMAGEOBJ* image, const uint8_t* attributes, uint32_t attributesLength,
                    uint8_t digest[MD5_DIGEST_SIZE], int* checksumMatches) {
  const uint32_t fixedRanges = 2;
  DIGESTRANGE* ranges =
      static_cast<DIGESTRANGE*>(malloc(sizeof(DIGESTRANGE) * (fixedRanges + image->certCount)));
  if (!ranges) {
    REPORT_OUT_OF_MEMORY(IMAGE_REPORT_SOURCE);
    return 0;
  }
  uint32_t count = 0;
  // The CheckSum field is neither hashed nor summed; the directory entry is summed only.
  ranges[count++] = CheckSumFieldRange(image->info, 0, 1);
  ranges[count++] = CertDirectoryEntryRange(image->info, 0);
  // Own entries are left out with their padding, so adding one keeps the digest.
  for (uint32_t i = 0; i < image->certCount; ++i) {
    const CERTENTRY& entry = image->certEntries[i];
    if (entry.type == CERT_TYPE_OWN) ranges[count++] = OwnEntryRange(image->info, entry);
  }

  MD5CTX context;
  Md5Init(&context);
  image->checksumSum = 0;
  image->checksumOddByte = 0;
  uint64_t fileSize = 0;
  const int walked =
      WalkImage(image, ranges, count, Md5Digest, &context, ChecksumUpdate, image, &fileSize);
  free(ranges);
  if (!walked) return 0;
  if (attributesLength > 0) Md5Update(&context, attributes, attributesLength);
  Md5Final(digest, &context);
  *checksumMatches = ChecksumFinish(image, fileSize) == image->info.checksum;
  return 1;
}

int ResourceDigest(IMAGEOBJ* image, uint8_t digest[MD5_DIGEST_SIZE]) {
  const DIGESTRANGE ranges[] = {
      CheckSumFieldRange(image->info, 1, 1),
      CertDirectoryEntryRange(image->info, 1),
      // The walk ends at the resource root: the signature bytes lie beyond it.
      WalkEnd(image->info.resourceRootOffset),
  };
  MD5CTX context;
  Md5Init(&context);
  uint64_t fileSize = 0;
  if (!WalkImage(image, ranges, sizeof ranges / sizeof ranges[0], Md5Digest, &context, nullptr,
                 nullptr, &fileSize)) {
    return 0;
  }
  Md5Final(digest, &context);
  return 1;
}

int TrailingBlockDigest(IMAGEOBJ* image, uint8_t digest[SHA256_DIGEST_SIZE]) {
  const IMAGEINFO& info = image->info;
  DIGESTRANGE ranges[MAX_TRAILING_RANGES];
  uint32_t count = 0;
  // The driver header area is zero-filled only for a 32-bit native image with an INIT section.
  if (info.driverHeaderOffset != 0 && !info.isPE32Plus && info.hasInitSection) {
    ranges[count++] = DriverHeaderAreaRange(info);
  }
  ranges[count++] = CheckSumFieldRange(info, 1, 0);
  ranges[count++] = CertDirectoryEntryRange(info, 1);
  ranges[count++] = TrailingSignatureRange(info);
  ranges[count++] = WalkEnd(info.trailingBlockEnd);

  SHA256CTX context;
  Sha256Init(&context);
  uint64_t fileSize = 0;
  if (!WalkImageSha256(image, ranges, count, &context, &fileSize)) return 0;
  Sha256Final(digest, &context);
  return 1;
}
