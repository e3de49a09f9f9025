// The base-library double: "InitLibs" fills an entry table whose count and entry 10 the test
// chooses, and "CreateObject" hands out one trust object whose answers the test chooses and
// whose calls (releases included) it can read back. All calls are stdcall, names undecorated.
// A double loaded by the program under test (the launcher, the binding) takes its answers from
// the environment variable below when it is loaded. Variants lack "InitLibs" or both entries.
#pragma once

#include <stdint.h>

constexpr uint32_t BASE_DOUBLE_PROPERTY_SLOTS = 8;  // property numbers 0 to 7
constexpr uint32_t BASE_DOUBLE_MAX_CALLS = 16;
constexpr uint32_t BASE_DOUBLE_PATH_CHARS = 260;

struct BASEDOUBLEPROPERTY {
  int32_t result;  // what GetProperty returns
  uint32_t value;  // what it writes through the value pointer
};

struct BASEDOUBLECONFIG {
  uint32_t exportCount;   // dwCount handed back by InitLibs
  int32_t entry10Set;     // nonzero: entry 10 is the direct trust entry, otherwise null
  int32_t entry10Result;  // the direct entry's answer
  int32_t createsObject;  // nonzero: CreateObject hands out the trust object
  int32_t openResult;
  BASEDOUBLEPROPERTY properties[BASE_DOUBLE_PROPERTY_SLOTS];
  int32_t initLibsResult;  // what InitLibs returns
};

// Blank-separated settings read at load: "count=<n>", "entry10=<answer>" (sets entry 10),
// "object=1", "open=<result>", "initlibs=<result>", "p<number>=<result>:<value>"; numbers in C
// notation. Unset fields are 0.
constexpr const wchar_t* BASE_DOUBLE_CONFIG_VARIABLE = L"OSTRA505_DOUBLE_BASE_CONFIG";

struct BASEDOUBLELOG {
  uint32_t initLibsCalls;
  uint32_t initLibsCountIn;  // dwCount as InitLibs found it
  uint32_t entry10Calls;
  int32_t entry10Reserved;   // second argument of the last direct-entry call
  wchar_t entry10Path[BASE_DOUBLE_PATH_CHARS];
  uint32_t createObjectCalls;
  int32_t createObjectIdMatched;  // the interface identifier was the trust object's
  uint32_t openCalls;
  int32_t openReserved;
  wchar_t openPath[BASE_DOUBLE_PATH_CHARS];
  uint32_t propertyCalls;
  uint32_t propertyOrder[BASE_DOUBLE_MAX_CALLS];  // property numbers in call order
  int32_t propertyValueNotCleared;  // some GetProperty call found its value nonzero on entry
  uint32_t otherMethodCalls;        // calls through positions the launcher must not use
  uint32_t releases;
};

// Exported by the double besides InitLibs and CreateObject:
//   void WINAPI BaseDoubleConfigure(const BASEDOUBLECONFIG*)  -- also clears the log
//   void WINAPI BaseDoubleReadLog(BASEDOUBLELOG*)
typedef void(__stdcall* BASEDOUBLECONFIGUREFN)(const BASEDOUBLECONFIG* config);
typedef void(__stdcall* BASEDOUBLEREADLOGFN)(BASEDOUBLELOG* log);
