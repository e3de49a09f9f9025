// The compiled-in public keys and the trailing block's key table.
#pragma once

#include "signcheck/rsa.h"

extern const RSAKEY4096 BlockKey;          // trailing signature blocks
extern const RSAKEY1024 EntryKey;          // certificate-table records of kinds 1 and 2
extern const RSAKEY1024 BoundEntryKey;     // certificate-table records of kind 0
extern const RSAKEY1024 ResourceKey;       // the signature resource
extern const RSAKEY1024 AuthorizationKey;  // the machine authorization

struct BLOCKKEYENTRY {
  uint16_t version;
  const RSAKEY4096* key;
  uint32_t size;  // of the key record in bytes
};

constexpr uint32_t BLOCK_KEY_COUNT = 1;
extern const BLOCKKEYENTRY BlockKeyTable[BLOCK_KEY_COUNT];

// The entry whose version matches, or null.
const BLOCKKEYENTRY* FindBlockKey(uint16_t version);
