// Written against the call-site terms only, not the launcher's headers, so that a launcher
// that calls the wrong position or layout fails here instead of agreeing with itself.
#include <windows.h>

#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include <string>

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

// Unused in the variants without "InitLibs" or "CreateObject".
[[maybe_unused]] int32_t WINAPI DirectTrust(const wchar_t* path, int32_t reserved) {
  ++g_log.entry10Calls;
  g_log.entry10Reserved = reserved;
  CopyPath(g_log.entry10Path, path);
  return g_config.entry10Result;
}

[[maybe_unused]] int32_t WINAPI OtherEntry() { return 0; }

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

uint32_t Number(const std::wstring& text) {
  return static_cast<uint32_t>(wcstoul(text.c_str(), nullptr, 0));
}

// Applies one "name=value" setting of the configuration variable.
void ApplySetting(const std::wstring& setting) {
  size_t equals = setting.find(L'=');
  if (equals == std::wstring::npos) {
    return;
  }
  std::wstring name = setting.substr(0, equals);
  std::wstring value = setting.substr(equals + 1);
  if (name == L"count") {
    g_config.exportCount = Number(value);
  } else if (name == L"entry10") {
    g_config.entry10Set = 1;
    g_config.entry10Result = static_cast<int32_t>(Number(value));
  } else if (name == L"object") {
    g_config.createsObject = static_cast<int32_t>(Number(value));
  } else if (name == L"open") {
    g_config.openResult = static_cast<int32_t>(Number(value));
  } else if (name == L"initlibs") {
    g_config.initLibsResult = static_cast<int32_t>(Number(value));
  } else if (name.size() == 2 && name[0] == L'p' && value.find(L':') != std::wstring::npos) {
    uint32_t number = static_cast<uint32_t>(name[1] - L'0');
    if (number < BASE_DOUBLE_PROPERTY_SLOTS) {
      g_config.properties[number].result = static_cast<int32_t>(Number(value.substr(0, value.find(L':'))));
      g_config.properties[number].value = Number(value.substr(value.find(L':') + 1));
    }
  }
}

void ConfigureFromEnvironment() {
  wchar_t text[1024] = {};
  DWORD length = GetEnvironmentVariableW(BASE_DOUBLE_CONFIG_VARIABLE, text, 1024);
  if (length == 0 || length >= 1024) {
    return;
  }
  std::wstring settings(text);
  for (size_t at = 0; at < settings.size();) {
    size_t blank = settings.find(L' ', at);
    size_t end = blank == std::wstring::npos ? settings.size() : blank;
    ApplySetting(settings.substr(at, end - at));
    at = end + 1;
  }
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
[[maybe_unused]] TRUSTOBJECT g_object = {g_methods.slots};

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ConfigureFromEnvironment();
  }
  return TRUE;
}

extern "C" {

#if !defined(BASE_DOUBLE_WITHOUT_INITLIBS)
__declspec(dllexport) int32_t WINAPI InitLibs(ENTRYTABLE* table) {
  ++g_log.initLibsCalls;
  g_log.initLibsCountIn = table->count;
  for (uint32_t i = 0; i < TABLE_SLOTS && i < g_config.exportCount; ++i) {
    table->entries[i] = AsSlot(OtherEntry);
  }
  table->entries[DIRECT_ENTRY] = g_config.entry10Set ? AsSlot(DirectTrust) : nullptr;
  table->count = g_config.exportCount;
  return g_config.initLibsResult;
}
#endif

#if !defined(BASE_DOUBLE_WITHOUT_CREATEOBJECT)
__declspec(dllexport) int32_t WINAPI CreateObject(const GUID* id, void** object) {
  ++g_log.createObjectCalls;
  g_log.createObjectIdMatched = memcmp(id, &kTrustObjectId, sizeof(GUID)) == 0;
  if (g_config.createsObject && g_log.createObjectIdMatched) {
    *object = &g_object;
    return 0;
  }
  return 1;
}
#endif

__declspec(dllexport) void WINAPI BaseDoubleConfigure(const BASEDOUBLECONFIG* config) {
  g_config = *config;
  g_log = BASEDOUBLELOG{};
}

__declspec(dllexport) void WINAPI BaseDoubleReadLog(BASEDOUBLELOG* log) { *log = g_log; }

}  // extern "C"
