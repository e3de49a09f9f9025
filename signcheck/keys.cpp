// The trailing block's key table. The key records themselves are generated from the key
// directory at build time.
#include "signcheck/keys.h"

const BLOCKKEYENTRY BlockKeyTable[BLOCK_KEY_COUNT] = {
    {1, &BlockKey, sizeof(RSAKEY4096)},
};

const BLOCKKEYENTRY* FindBlockKey(uint16_t version) {
  for (const BLOCKKEYENTRY& entry : BlockKeyTable) {
    if (entry.version == version) return &entry;
  }
  return nullptr;
}
