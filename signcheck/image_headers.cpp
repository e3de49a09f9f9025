// Parsing the DOS and NT headers, the section table and the signature resource of an image.
#include <stdlib.h>
#include <string.h>

#include "errobj/errobj.h"
#include "signcheck/byteorder.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

namespace {

// Frees a malloc block on every exit.
struct HeapBlock {
  void* block = nullptr;
  HeapBlock() = default;
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock() { free(block); }
};

uint32_t EntryData(const uint8_t* entry) {
  uint32_t data = 0;
  LoadLe32(BYTESPAN{entry, RESOURCE_ENTRY_SIZE}, RESOURCE_ENTRY_DATA_OFFSET, &data);
  return data;
}

// The subdirectory below a directory entry, or 0 when the entry is missing or not a directory.
uint32_t Subdirectory(const uint8_t* entry, uint32_t root) {
  if (!entry) return 0;
  const uint32_t data = EntryData(entry);
  if (!(data & RESOURCE_HIGH_BIT)) return 0;
  const uint64_t directory = uint64_t(root) + (data & ~RESOURCE_HIGH_BIT);
  return directory > UINT32_MAX ? 0 : static_cast<uint32_t>(directory);
}

// RT_RCDATA / 729 / first integer language, 128 bytes. Answers 0 only when the data entry or the
// resource bytes cannot be read; every other miss leaves resourceRootOffset 0 and succeeds.
int FindSignatureResource(HEADERREADER* reader, uint8_t* scratch, const uint8_t* sections,
                          uint32_t sectionCount, uint32_t directoryRva, uint32_t directorySize,
                          IMAGEINFO* info) {
  const uint32_t root = RvaToFileOffset(sections, sectionCount, directoryRva, directorySize);
  if (root == 0) return 1;
  const uint32_t types = root;
  const uint32_t ids =
      Subdirectory(FindResourceEntry(reader, scratch, types, SIGNATURE_RESOURCE_TYPE), root);
  if (ids == 0) return 1;
  const uint32_t languages =
      Subdirectory(FindResourceEntry(reader, scratch, ids, SIGNATURE_RESOURCE_ID), root);
  if (languages == 0) return 1;
  const uint8_t* language = FindResourceEntry(reader, scratch, languages, 0);
  if (!language) return 1;
  const uint32_t dataEntryOffset = EntryData(language);
  if (dataEntryOffset & RESOURCE_HIGH_BIT) return 1;

  if (!ReadAt(reader, uint64_t(root) + dataEntryOffset, scratch, RESOURCE_DATA_ENTRY_SIZE)) return 0;
  const BYTESPAN dataEntry = {scratch, RESOURCE_DATA_ENTRY_SIZE};
  uint32_t dataRva = 0, dataSize = 0;
  LoadLe32(dataEntry, 0, &dataRva);
  LoadLe32(dataEntry, RESOURCE_DATA_ENTRY_SIZE_OFFSET, &dataSize);
  if (dataSize != SIGNATURE_RESOURCE_SIZE) return 1;
  const uint32_t data = RvaToFileOffset(sections, sectionCount, dataRva, SIGNATURE_RESOURCE_SIZE);
  if (data == 0) return 1;
  if (!ReadAt(reader, data, info->resourceSignature, SIGNATURE_RESOURCE_SIZE)) return 0;
  info->resourceRootOffset = root;
  return 1;
}

int InvalidImage() {
  REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 1, L"不是一个有效的PE文件");
  return 0;
}

}  // namespace

int ParseImageHeaders(uint8_t* scratch, HANDLE file, IMAGEINFO* info) {
  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(file, &fileSize)) {
    REPORT_SYS_ERROR(IMAGE_REPORT_SOURCE, L"GetFileSizeEx()失败");
    return 0;
  }
  HeapBlock cache;
  cache.block = malloc(HEADER_CACHE_SIZE);
  if (!cache.block) {
    REPORT_OUT_OF_MEMORY(IMAGE_REPORT_SOURCE);
    return 0;
  }
  HEADERREADER reader = {file, 0, 0, static_cast<uint64_t>(fileSize.QuadPart),
                         static_cast<uint8_t*>(cache.block), HEADER_CACHE_SIZE};

  if (!ReadAt(&reader, 0, scratch, DOS_HEADER_SIZE)) return 0;
  const BYTESPAN dos = {scratch, DOS_HEADER_SIZE};
  uint16_t dosMagic = 0;
  uint32_t lfanewField = 0;
  LoadLe16(dos, 0, &dosMagic);
  LoadLe32(dos, DOS_LFANEW_OFFSET, &lfanewField);
  const int32_t lfanew = static_cast<int32_t>(lfanewField);
  if (dosMagic != DOS_MAGIC || lfanew <= 0) return InvalidImage();

  if (!ReadAt(&reader, uint32_t(lfanew), scratch, PE_SIGNATURE_SIZE)) return 0;
  uint32_t signature = 0;
  LoadLe32(BYTESPAN{scratch, PE_SIGNATURE_SIZE}, 0, &signature);
  if (signature != PE_SIGNATURE) return InvalidImage();

  info->driverHeaderOffset = 0;
  if (lfanew >= DRIVER_HEADER_MIN_LFANEW) {
    if (!ReadAt(&reader, DRIVER_HEADER_OFFSET, scratch, DRIVER_HEADER_SIZE)) return 0;
    uint32_t driverMagic = 0;
    LoadLe32(BYTESPAN{scratch, DRIVER_HEADER_SIZE}, 0, &driverMagic);
    if (driverMagic == DRIVER_HEADER_MAGIC) info->driverHeaderOffset = DRIVER_HEADER_OFFSET;
  }

  // lfanew < 2^31, so every header offset below fits in 32 bits.
  if (!ReadAt(&reader, uint32_t(lfanew) + PE_SIGNATURE_SIZE, scratch, FILE_HEADER_SIZE)) return 0;
  const BYTESPAN fileHeader = {scratch, FILE_HEADER_SIZE};
  uint16_t sectionCountField = 0, optionalSize = 0;
  LoadLe16(fileHeader, FILE_HEADER_SECTION_COUNT_OFFSET, &sectionCountField);
  LoadLe16(fileHeader, FILE_HEADER_OPTIONAL_SIZE_OFFSET, &optionalSize);

  const uint32_t optional = uint32_t(lfanew) + OPTIONAL_HEADER_OFFSET;
  if (!ReadAt(&reader, optional, scratch, OPTIONAL_MAGIC_SIZE)) return 0;
  uint16_t optionalMagic = 0;
  LoadLe16(BYTESPAN{scratch, OPTIONAL_MAGIC_SIZE}, 0, &optionalMagic);
  uint32_t minimumSize, readSize, resourceDirOffset, certDirOffset;
  if (optionalMagic == OPTIONAL_MAGIC_PE32) {
    minimumSize = OPTIONAL_MIN_SIZE_PE32;
    readSize = OPTIONAL_READ_SIZE_PE32;
    resourceDirOffset = OPTIONAL_RESOURCE_DIR_OFFSET_PE32;
    certDirOffset = OPTIONAL_CERT_DIR_OFFSET_PE32;
  } else if (optionalMagic == OPTIONAL_MAGIC_PE32PLUS) {
    minimumSize = OPTIONAL_MIN_SIZE_PE32PLUS;
    readSize = OPTIONAL_READ_SIZE_PE32PLUS;
    resourceDirOffset = OPTIONAL_RESOURCE_DIR_OFFSET_PE32PLUS;
    certDirOffset = OPTIONAL_CERT_DIR_OFFSET_PE32PLUS;
  } else {
    REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 1, L"不支持的PE文件格式");
    return 0;
  }
  if (optionalSize < minimumSize) {
    REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 1, L"PE文件目录不足");
    return 0;
  }
  if (optionalSize < readSize) readSize = optionalSize;
  if (!ReadAt(&reader, optional, scratch, readSize)) return 0;
  const BYTESPAN header = {scratch, readSize};

  info->isPE32Plus = optionalMagic == OPTIONAL_MAGIC_PE32PLUS;
  info->checksumFieldOffset = optional + OPTIONAL_CHECKSUM_OFFSET;
  info->certDirEntryOffset = optional + certDirOffset;
  info->checksum = 0;
  LoadLe32(header, OPTIONAL_CHECKSUM_OFFSET, &info->checksum);
  uint16_t subsystem = 0;
  LoadLe16(header, OPTIONAL_SUBSYSTEM_OFFSET, &subsystem);
  info->isNative = subsystem == SUBSYSTEM_NATIVE;
  uint32_t resourceRva = 0, resourceSize = 0;
  LoadLe32(header, resourceDirOffset, &resourceRva);
  LoadLe32(header, resourceDirOffset + DATA_DIRECTORY_SIZE_OFFSET, &resourceSize);
  // An optional header that ends before the certificate directory entry has no certificate table.
  info->certTableOffset = 0;
  info->certTableSize = 0;
  if (SpanHolds(header, certDirOffset, DATA_DIRECTORY_ENTRY_SIZE)) {
    LoadLe32(header, certDirOffset, &info->certTableOffset);
    LoadLe32(header, certDirOffset + DATA_DIRECTORY_SIZE_OFFSET, &info->certTableSize);
  }

  const uint32_t sectionTable = optional + optionalSize;
  info->headersEnd = sectionTable;
  info->resourceRootOffset = 0;
  info->hasInitSection = 0;
  const bool initScan = info->driverHeaderOffset != 0 && !info->isPE32Plus && info->isNative;
  if (resourceRva == 0 && !initScan) return 1;

  const uint32_t sectionCount =
      sectionCountField < MAX_SECTION_HEADERS ? sectionCountField : MAX_SECTION_HEADERS;
  const uint32_t sectionTableSize = sectionCount * SECTION_HEADER_SIZE;
  HeapBlock sections;
  if (sectionCount > 0) {
    sections.block = malloc(sectionTableSize);
    if (!sections.block) {
      REPORT_OUT_OF_MEMORY(IMAGE_REPORT_SOURCE);
      return 0;
    }
    if (!ReadAt(&reader, sectionTable, sections.block, sectionTableSize)) return 0;
    info->headersEnd = sectionTable + sectionTableSize;
  }
  const uint8_t* sectionHeaders = static_cast<const uint8_t*>(sections.block);

  if (initScan) {
    for (uint32_t i = 0; i < sectionCount; ++i) {
      if (memcmp(sectionHeaders + i * SECTION_HEADER_SIZE, INIT_SECTION_NAME,
                 sizeof INIT_SECTION_NAME) == 0) {
        info->hasInitSection = 1;
        break;
      }
    }
  }
  if (resourceRva == 0) return 1;
  return FindSignatureResource(&reader, scratch, sectionHeaders, sectionCount, resourceRva,
                               resourceSize, info);
}
