// The emergency-repair launch and the search for the suite's directory.
//
// Nothing here reports an error: failures show as an early stop or an empty result.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>

// Every path buffer of the launcher: 259 characters and the terminating NUL.
constexpr DWORD LAUNCHER_PATH_CAPACITY = MAX_PATH;

constexpr const wchar_t* SUITE_APP_PATHS_KEY =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\kordel.exe";
constexpr const wchar_t* SUITE_APP_PATHS_VALUE = L"Path";
constexpr const wchar_t* SUITE_MAIN_EXECUTABLE = L"Kordel.exe";
constexpr const wchar_t* LAUNCHER_PLACE_IN_SUITE = L"vellis\\ostra505.exe";
constexpr const wchar_t* MONITOR_FOLDER_MARKER = L"\\vellis\\";
constexpr const wchar_t* REPAIR_LIBRARY_NAME = L"ostra505.dll";
constexpr const char* REPAIR_ENTRY_NAME = "do505";
constexpr int32_t REPAIR_ENTRY_FIRST_ARGUMENT = 10050;
constexpr int32_t REPAIR_ENTRY_SECOND_ARGUMENT = 1;
constexpr DWORD TEMPORARY_COPY_GRACE_MILLISECONDS = 1000;

// The repair library's entry point.
typedef int32_t(WINAPI* REPAIRENTRYFN)(int32_t first, int32_t second);

// Decides about the repair library, given its full path; nonzero means it may be loaded.
typedef int32_t (*REPAIRGATEFN)(const wchar_t* repairLibraryPath);

// The whole launch, once: reads the suite directory from the App Paths value (32-bit view),
// schedules the own executable for deletion at restart unless it runs from a "\vellis\"
// folder, resolves the repair library to one full path, asks gate about that path, loads it
// (through a temporary copy "<n>.dll" when the direct load fails), calls "do505"(10050, 1)
// and removes a temporary copy one second later. The library is never unloaded. From before
// the gate is asked until it is loaded or copied, the library is held open so that readers
// get in but nobody can write, rename or delete it; a library that cannot be held is not run.
// Always returns 0.
int RunRepairLaunch(REPAIRGATEFN gate);

// The suite directory for a launcher whose module is modulePath: the module's directory when
// Kordel.exe is beside it, else its parent when Kordel.exe is there, else the App Paths value
// "Path" (32-bit view) as stored; an empty string when none applies.
std::wstring GetSuiteDirectoryFor(const wchar_t* modulePath);

// GetSuiteDirectoryFor the launcher's own module.
std::wstring GetSuiteDirectory();

// Reads a string value of an open key into destination (capacity in characters; at most
// capacity * 2 bytes are asked for). Returns the registry error unchanged when the query
// fails, ERROR_INVALID_DATA unless the value is REG_SZ or REG_EXPAND_SZ (not expanded) with
// an even byte count ending in a NUL, else ERROR_SUCCESS with *length the characters read,
// terminator included. A value of 0 bytes reads as the empty string (length 1). destination
// is meaningful only on success.
LONG ReadRegistryString(HKEY key, const wchar_t* valueName, wchar_t* destination, DWORD capacity,
                        DWORD* length);
