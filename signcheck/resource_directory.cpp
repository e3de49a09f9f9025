// Looking up one integer-id entry of a resource directory.
#include "signcheck/byteorder.h"
#include "signcheck/image.h"

const uint8_t* FindResourceEntry(HEADERREADER* reader, uint8_t* scratch, uint32_t directoryOffset,
                                 uint16_t id) {
  if (!ReadAt(reader, directoryOffset, scratch, RESOURCE_DIRECTORY_SIZE)) return nullptr;
  const BYTESPAN header = {scratch, RESOURCE_DIRECTORY_SIZE};
  uint16_t named = 0, ids = 0;
  LoadLe16(header, RESOURCE_DIRECTORY_NAMED_COUNT_OFFSET, &named);
  LoadLe16(header, RESOURCE_DIRECTORY_ID_COUNT_OFFSET, &ids);
  uint32_t count = uint16_t(named + ids);
  if (count > MAX_RESOURCE_ENTRIES) count = MAX_RESOURCE_ENTRIES;
  if (count == 0) return nullptr;
  const uint32_t entriesSize = count * RESOURCE_ENTRY_SIZE;
  if (!ReadAt(reader, uint64_t(directoryOffset) + RESOURCE_DIRECTORY_SIZE, scratch, entriesSize)) {
    return nullptr;
  }
  const BYTESPAN entries = {scratch, entriesSize};
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t name = 0;
    LoadLe32(entries, uint64_t(i) * RESOURCE_ENTRY_SIZE, &name);
    if (name & RESOURCE_HIGH_BIT) continue;  // string names are never selected
    if (id == 0 || (name & 0xFFFF) == id) return scratch + uint64_t(i) * RESOURCE_ENTRY_SIZE;
  }
  return nullptr;
}
