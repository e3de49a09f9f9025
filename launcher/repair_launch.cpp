#include <shlwapi.h>
#include <strsafe.h>

#include <stdlib.h>

#include "launcher/held_file.h"
#include "launcher/launcher.h"
#include "trust/export_cast.h"

namespace {

constexpr DWORD SUITE_VALUE_BYTES = LAUNCHER_PATH_CAPACITY * sizeof(wchar_t);
// One more slot than the temp-folder query is offered, so the result always ends in a NUL.
constexpr DWORD TEMPORARY_PATH_SLOTS = LAUNCHER_PATH_CAPACITY + 1;

// Loads the library through a copy "<n>.dll" in the temporary folder. temporaryPath receives
// the copy's path as soon as it is known. The original stays held until the copy is held and
// shown to hold the same bytes; the copy stays held until it is loaded. Returns the module, or
// null.
HMODULE LoadThroughTemporaryCopy(const wchar_t* repairLibraryPath, CHeldFile& heldOriginal,
                                 wchar_t* temporaryPath) {
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  srand(counter.LowPart);

  wchar_t randomName[LAUNCHER_PATH_CAPACITY] = {};
  StringCchPrintfW(randomName, LAUNCHER_PATH_CAPACITY, L"%d.dll", rand());

  // The usual result ends in a backslash, which is all that the removal drops.
  GetTempPathW(LAUNCHER_PATH_CAPACITY, temporaryPath);
  PathRemoveFileSpecW(temporaryPath);
  PathAppendW(temporaryPath, randomName);

  if (!CopyFileW(repairLibraryPath, temporaryPath, FALSE)) {
    return nullptr;
  }
  // The copy may be rewritten between CopyFileW closing it and the hold, by whoever owns a file
  // of that name already (CopyFileW keeps its owner). Once held it cannot change, so it runs
  // only when it still holds the judged bytes, which are held too.
  CHeldFile heldCopy(temporaryPath);
  const bool sameAsJudged = heldCopy.HasSameContentAs(heldOriginal);
  heldOriginal.Release();
  return sameAsJudged ? LoadLibraryW(temporaryPath) : nullptr;
}

}  // namespace

int RunRepairLaunch(REPAIRGATEFN gate) {
  wchar_t ownPath[LAUNCHER_PATH_CAPACITY] = {};
  if (GetModuleFileNameW(nullptr, ownPath, LAUNCHER_PATH_CAPACITY) == 0) {
    return 0;
  }

  wchar_t suitePath[LAUNCHER_PATH_CAPACITY] = {};
  wchar_t temporaryPath[TEMPORARY_PATH_SLOTS] = {};
  DWORD suiteBytes = SUITE_VALUE_BYTES;
  if (SHGetValueW(HKEY_LOCAL_MACHINE, SUITE_APP_PATHS_KEY, SUITE_APP_PATHS_VALUE, nullptr, suitePath,
                  &suiteBytes) != ERROR_SUCCESS) {
    return 0;
  }

  PathAppendW(suitePath, LAUNCHER_PLACE_IN_SUITE);
  if (StrStrIW(ownPath, MONITOR_FOLDER_MARKER) == nullptr) {
    MoveFileExW(ownPath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  PathRemoveFileSpecW(suitePath);
  PathAppendW(suitePath, REPAIR_LIBRARY_NAME);

  // One full path for the existence test, the gate and the load: a relative one would be
  // resolved against the current directory by the first two but searched for by the load.
  wchar_t repairLibraryPath[LAUNCHER_PATH_CAPACITY] = {};
  DWORD resolved = GetFullPathNameW(suitePath, LAUNCHER_PATH_CAPACITY, repairLibraryPath, nullptr);
  if (resolved == 0 || resolved >= LAUNCHER_PATH_CAPACITY) {
    return 0;
  }
  if (!PathFileExistsW(repairLibraryPath)) {
    return 0;
  }
  // The file the gate judges is the file that runs: held from before the question until it
  // is loaded or copied.
  CHeldFile held(repairLibraryPath);
  if (!held.IsHeld() || gate(repairLibraryPath) == 0) {
    return 0;
  }

  HMODULE repairLibrary = LoadLibraryW(repairLibraryPath);
  if (repairLibrary == nullptr) {
    repairLibrary = LoadThroughTemporaryCopy(repairLibraryPath, held, temporaryPath);
  }
  held.Release();
  if (repairLibrary == nullptr) {
    return 0;
  }

  FARPROC entry = GetProcAddress(repairLibrary, REPAIR_ENTRY_NAME);
  if (entry != nullptr) {
    ExportAs<REPAIRENTRYFN>(entry)(REPAIR_ENTRY_FIRST_ARGUMENT, REPAIR_ENTRY_SECOND_ARGUMENT);
  }

  // Empty after a direct load, so this only removes a temporary copy.
  if (!PathFileExistsW(temporaryPath)) {
    return 0;
  }
  Sleep(TEMPORARY_COPY_GRACE_MILLISECONDS);
  DeleteFileW(temporaryPath);
  MoveFileExW(temporaryPath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  return 0;
}
