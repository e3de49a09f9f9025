// Mapping an RVA range to its file offset through the section table.
#include "errobj/errobj.h"
#include "signcheck/byteorder.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

uint32_t RvaToFileOffset(const uint8_t* sectionTable, uint32_t sectionCount, uint32_t rva,
                         uint32_t length) {
  const BYTESPAN table = {sectionTable, size_t(sectionCount) * SECTION_HEADER_SIZE};
  // The section table is in ascending VirtualAddress order: the holder is the last one not above.
  uint32_t passed = 0;
  for (; passed < sectionCount; ++passed) {
    uint32_t virtualAddress = 0;
    LoadLe32(table, uint64_t(passed) * SECTION_HEADER_SIZE + SECTION_VIRTUAL_ADDRESS_OFFSET,
             &virtualAddress);
    if (virtualAddress > rva) break;
  }
  if (passed == 0) {
    REPORT_SYS_ERROR(IMAGE_REPORT_SOURCE, L"资源数据超出了节范围");
    return 0;
  }
  const uint64_t header = uint64_t(passed - 1) * SECTION_HEADER_SIZE;
  uint32_t virtualAddress = 0, virtualSize = 0, rawSize = 0, rawPointer = 0;
  LoadLe32(table, header + SECTION_VIRTUAL_ADDRESS_OFFSET, &virtualAddress);
  LoadLe32(table, header + SECTION_VIRTUAL_SIZE_OFFSET, &virtualSize);
  LoadLe32(table, header + SECTION_RAW_SIZE_OFFSET, &rawSize);
  LoadLe32(table, header + SECTION_RAW_POINTER_OFFSET, &rawPointer);
  const uint64_t delta = rva - virtualAddress;
  // 64-bit sums: a huge length must not wrap into the section.
  if (delta + length > virtualSize || delta + length > rawSize) {
    REPORT_SYS_ERROR(IMAGE_REPORT_SOURCE, L"资源长度超出了节尺寸");
    return 0;
  }
  const uint64_t fileOffset = rawPointer + delta;
  if (fileOffset > UINT32_MAX) {
    REPORT_SYS_ERROR(IMAGE_REPORT_SOURCE, L"资源数据超出了节范围");
    return 0;
  }
  return static_cast<uint32_t>(fileOffset);
}
