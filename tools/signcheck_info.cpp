#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "signcheck/image.h"
#include "tools/json_line.h"
#include "tools/signcheck_commands.h"

namespace {

struct IMAGEFACTS {
  bool opened = false;
  IMAGEINFO info = {};
  std::string certEntries = "[]";
  uint32_t certCount = 0;
  bool hasTrailingBlock = false;
  bool checksumComputed = false;
  uint32_t computedChecksum = 0;
  std::string error;
};

std::string CertEntryList(const IMAGEOBJ* image) {
  std::string list = "[";
  for (uint32_t i = 0; i < image->certCount; ++i) {
    const CERTENTRY& entry = image->certEntries[i];
    CJsonLine item;
    item.Unsigned("offset", entry.offset);
    item.Unsigned("length", entry.length);
    item.Unsigned("type", entry.type);
    item.Unsigned("index", entry.index);
    if (i > 0) list += ",";
    list += item.Finish();
  }
  return list + "]";
}

// The image checksum as the own-entry walk computes it, over an empty attribute list.
bool ComputeChecksum(IMAGEOBJ* image, uint32_t* checksum) {
  uint8_t digest[MD5_DIGEST_SIZE];
  int matches = 0;
  LARGE_INTEGER size;
  if (!CertEntryDigest(image, nullptr, 0, digest, &matches) ||
      !GetFileSizeEx(image->file, &size)) {
    return false;
  }
  *checksum = ChecksumFinish(image, uint64_t(size.QuadPart));
  return true;
}

IMAGEFACTS ReadFacts(const wchar_t* path) {
  IMAGEFACTS facts;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    facts.error = "cannot open the file (error " + std::to_string(GetLastError()) + ")";
    return facts;
  }
  IMAGEOBJ* image = OpenImage(file);
  if (image == nullptr) {
    facts.error = ThreadErrorText();
  } else {
    facts.opened = true;
    facts.certEntries = CertEntryList(image);
    facts.certCount = image->certCount;
    uint8_t block[TRAILING_BLOCK_SIZE];
    int found = 0;
    if (LocateTrailingBlock(image, block, &found)) {
      facts.hasTrailingBlock = found != 0;
    } else {
      facts.error = ThreadErrorText();
    }
    facts.info = image->info;
    facts.checksumComputed = ComputeChecksum(image, &facts.computedChecksum);
    if (!facts.checksumComputed && facts.error.empty()) facts.error = ThreadErrorText();
    free(image);
  }
  CloseHandle(file);
  return facts;
}

}  // namespace

int RunInfo(int fileCount, wchar_t** files, bool json) {
  int exitCode = 0;
  for (int i = 0; i < fileCount; ++i) {
    const IMAGEFACTS facts = ReadFacts(files[i]);
    if (!facts.opened) exitCode = 1;
    const IMAGEINFO& info = facts.info;
    if (json) {
      CJsonLine line;
      line.String("file", files[i]);
      line.Unsigned("checksumFieldOffset", info.checksumFieldOffset);
      line.Unsigned("certDirEntryOffset", info.certDirEntryOffset);
      line.Unsigned("certTableOffset", info.certTableOffset);
      line.Unsigned("certTableSize", info.certTableSize);
      line.Unsigned("checksum", info.checksum);
      line.Unsigned("resourceRootOffset", info.resourceRootOffset);
      line.Boolean("isPE32Plus", info.isPE32Plus != 0);
      line.Boolean("isNative", info.isNative != 0);
      line.Boolean("hasInitSection", info.hasInitSection != 0);
      line.Unsigned("driverHeaderOffset", info.driverHeaderOffset);
      line.Unsigned("headersEnd", info.headersEnd);
      line.Raw("certEntries", facts.certEntries);
      line.Boolean("hasTrailingBlock", facts.hasTrailingBlock);
      line.Boolean("hasSignatureResource", info.resourceRootOffset != 0);
      if (facts.checksumComputed) {
        line.Unsigned("computedChecksum", facts.computedChecksum);
      } else {
        line.Null("computedChecksum");
      }
      if (facts.error.empty()) {
        line.Null("error");
      } else {
        line.String("error", facts.error);
      }
      PrintLine(line.Finish());
    } else if (!facts.opened) {
      PrintLine(ToUtf8(files[i]) + ": not readable as an image: " + facts.error);
    } else {
      // A walk that failed has no checksum to show; 0 would read as a computed value.
      char computed[32] = "not computed";
      if (facts.checksumComputed) {
        snprintf(computed, sizeof computed, "computed 0x%08X", unsigned(facts.computedChecksum));
      }
      char text[256];
      snprintf(text, sizeof text,
               ": %s%s, checksum 0x%08X (%s), %u certificate entries, "
               "trailing block %s, signature resource %s",
               info.isPE32Plus ? "PE32+" : "PE32", info.isNative ? " native" : "",
               unsigned(info.checksum), computed, unsigned(facts.certCount),
               facts.hasTrailingBlock ? "yes" : "no", info.resourceRootOffset ? "yes" : "no");
      PrintLine(ToUtf8(files[i]) + text);
    }
  }
  return exitCode;
}
