// Written against the call-site terms only, not the launcher's headers, so that a launcher
// that calls the wrong position or layout fails here instead of agreeing with itself.
#include <windows.h>

#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include "tests/doubles/base_double.h"

namespace {

constexpr uint32_t TABLE_SLOTS = 256;
constexpr uint32_t DIRECT_ENTRY = 10;
constexpr size_t METHOD_SLOTS = 22;
constexpr size_t RELEASE_SLOT = 2;
constexpr size_t OPEN_SLOT = 3;
constexpr size_t GETPROPERTY_SLOT = 21;

struct ENTRYTABLE {
  uint32_t count;
  void* entries[TABLE_SLOTS];
};

constexpr GUID kTrustObjectId = {
    0x6066F80A, 0x4B6D, 0x4D49, {0xB5, 0xDC, 0xDB, 0x9D, 0x1D, 0xD0, 0x72, 0x53}};

BASEDOUBLECONFIG g_config = {};
BASEDOUBLELOG g_log = {};

struct TRUSTOBJECT {
  void* const* methods;
};

void CopyPath(wchar_t* destination, const wchar_t* path) {
  wcsncpy(destination, path != nullptr ? path : L"", BASE_DOUBLE_PATH_CHARS - 1);
  destination[BASE_DOUBLE_PATH_CHARS - 1] = L'\0';
}

int32_t WINAPI DirectTrust(const wchar_t* path, int32_t reserved) {
  ++g_log.entry10Calls;
  g_log.entry10Reserved = reserved;
  CopyPath(g_log.entry10Path, path);
  return g_config.entry10Result;
}

int32_t WINAPI OtherEntry() { return 0; }

ULONG WINAPI OtherMethod(void*) {
  ++g_log.otherMethodCalls;
  return 0;
}

ULONG WINAPI Release(void*) { return ++g_log.releases, 0; }

int32_t WINAPI Open(void*, const wchar_t* path, int32_t reserved) {
  ++g_log.openCalls;
  g_log.openReserved = reserved;
  CopyPath(g_log.openPath, path);
  return g_config.openResult;
}

int32_t WINAPI GetProperty(void*, uint32_t number, uint32_t* value) {
  if (g_log.propertyCalls < BASE_DOUBLE_MAX_CALLS) {
    g_log.propertyOrder[g_log.propertyCalls] = number;
  }
  ++g_log.propertyCalls;
  if (*value != 0) {
    g_log.propertyValueNotCleared = 1;
  }
  if (number >= BASE_DOUBLE_PROPERTY_SLOTS) {
    return 0;
  }
  *value = g_config.properties[number].value;
  return g_config.properties[number].result;
}

template <typename TFunction>
void* AsSlot(TFunction function) {
  return reinterpret_cast<void*>(function);
}

struct METHODTABLE {
  void* slots[METHOD_SLOTS];
  METHODTABLE() {
    for (void*& slot : slots) {
      slot = AsSlot(OtherMethod);
    }
    slots[RELEASE_SLOT] = AsSlot(Release);
    slots[OPEN_SLOT] = AsSlot(Open);
    slots[GETPROPERTY_SLOT] = AsSlot(GetProperty);
  }
};

const METHODTABLE g_methods;
TRUSTOBJECT g_object = {g_methods.slots};

}  // namespace

extern "C" {

__declspec(dllexport) int32_t WINAPI InitLibs(ENTRYTABLE* table) {
  ++g_log.initLibsCalls;
  g_log.initLibsCountIn = table->count;
  for (uint32_t i = 0; i < TABLE_SLOTS && i < g_config.exportCount; ++i) {
    table->entries[i] = AsSlot(OtherEntry);
  }
  table->entries[DIRECT_ENTRY] = g_config.entry10Set ? AsSlot(DirectTrust) : nullptr;
  table->count = g_config.exportCount;
  return 0;
}

__declspec(dllexport) int32_t WINAPI CreateObject(const GUID* id, void** object) {
  ++g_log.createObjectCalls;
  g_log.createObjectIdMatched = memcmp(id, &kTrustObjectId, sizeof(GUID)) == 0;
  if (g_config.createsObject && g_log.createObjectIdMatched) {
    *object = &g_object;
    return 0;
  }
  return 1;
}

__declspec(dllexport) void WINAPI BaseDoubleConfigure(const BASEDOUBLECONFIG* config) {
  g_config = *config;
  g_log = BASEDOUBLELOG{};
}

__declspec(dllexport) void WINAPI BaseDoubleReadLog(BASEDOUBLELOG* log) { *log = g_log; }

}  // extern "C"
