// The real ostra505.exe, started in a prepared tree with the machine's App Paths value set in
// the 32-bit view. Only what a user could see is read: the exit code, the files, and the
// deletions scheduled for the next restart.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/doubles/base_double.h"
#include "tests/doubles/repair_double.h"
#include "tests/support/test_support.h"

namespace {

constexpr const wchar_t* APP_PATHS_KEY = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\kordel.exe";
constexpr DWORD LAUNCH_TIMEOUT_MILLISECONDS = 60000;

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Starts the program and waits for it; returns its exit code, or a marker when it could not
// be started or did not end.
DWORD RunProgram(const std::wstring& path) {
  std::wstring commandLine = L"\"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return 0xDEAD0001;
  }
  DWORD exitCode = 0xDEAD0002;
  if (WaitForSingleObject(process.hProcess, LAUNCH_TIMEOUT_MILLISECONDS) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &exitCode);
  } else {
    TerminateProcess(process.hProcess, 0xDEAD0003);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

struct RunCase {
  const char* name;
  const wchar_t* launcherPlace;  // relative to the tree
  bool suiteValueSet;            // App Paths "Path" = <tree>\suite
  bool repairLibraryPresent;     // <tree>\suite\vellis\ostra505.dll
  bool ownDeletionScheduled;
};

TEST(Ostra505, EndsWithZeroAndSchedulesItsDeletionOnlyOutsideTheMonitorFolder) {
  const RunCase cases[] = {
      {"registry value missing", L"Downloads\\ostra505.exe", false, true, false},
      {"from a download folder", L"Downloads\\ostra505.exe", true, true, true},
      {"from the monitor folder", L"suite\\vellis\\ostra505.exe", true, true, false},
      {"from the monitor folder in capitals", L"suite\\VELLIS\\ostra505.exe", true, true, false},
      {"the marker anywhere in the path", L"copies\\Vellis\\old\\launcher.exe", true, true, false},
      {"repair library absent, from outside", L"Downloads\\ostra505.exe", true, false, true},
      {"repair library absent, from inside", L"suite\\vellis\\ostra505.exe", true, false, false},
  };
  HKEY sessionManager = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_READ, &sessionManager));
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    CRegistryValueSnapshot pending(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, PENDING_RENAMES_VALUE, 0);
    CRegistryValueSnapshot suiteValue(HKEY_LOCAL_MACHINE, APP_PATHS_KEY, L"Path", KEY_WOW64_32KEY);
    const std::vector<std::wstring> before = PendingDeletions(sessionManager);
    CScopedTree tree;
    const std::wstring launcher = tree.Path(c.launcherPlace);
    const std::wstring log = tree.Path(L"do505.log");
    tree.Place(c.launcherPlace, BinaryPath(L"ostra505.exe"));
    tree.Place(L"suite\\Kordel.exe");
    if (c.repairLibraryPresent) {
      tree.Place(L"suite\\vellis\\ostra505.dll", BinaryPath(L"repair_double.dll"));
    }
    if (c.suiteValueSet) {
      HKEY key = nullptr;
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, APP_PATHS_KEY, 0, nullptr, 0,
                                               KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr));
      std::wstring suite = tree.Path(L"suite");
      RegSetValueExW(key, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(suite.c_str()),
                     static_cast<DWORD>((suite.size() + 1) * sizeof(wchar_t)));
      RegCloseKey(key);
    }
    SetEnvironmentVariableW(REPAIR_DOUBLE_LOG_VARIABLE, log.c_str());

    EXPECT_EQ(0u, RunProgram(launcher));

    SetEnvironmentVariableW(REPAIR_DOUBLE_LOG_VARIABLE, nullptr);
    std::vector<std::wstring> added;
    for (const std::wstring& path : PendingDeletions(sessionManager)) {
      if (std::none_of(before.begin(), before.end(), [&](const std::wstring& p) { return SamePath(p, path); })) {
        added.push_back(path);
      }
    }
    if (c.ownDeletionScheduled) {
      ASSERT_EQ(1u, added.size());
      EXPECT_TRUE(SamePath(launcher, added[0]));
    } else {
      EXPECT_TRUE(added.empty());
    }
    // Under Wine there is no self-protection driver and these trees hold no base library, so
    // the gate refuses and the repair library never runs.
    EXPECT_FALSE(FileExists(log));
  }
  RegCloseKey(sessionManager);
}

void SetSuiteValue(const std::wstring& suite) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, APP_PATHS_KEY, 0, nullptr, 0,
                                           KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr));
  RegSetValueExW(key, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(suite.c_str()),
                 static_cast<DWORD>((suite.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

enum RanFrom { NOT_CALLED, DIRECTLY, FROM_COPY };

struct TrustCase {
  const char* name;
  const wchar_t* baseLibrary;  // in bin\launcher_e2e, placed as Suite\TamselBase.dll
  const wchar_t* answers;      // the base double's answers
  const wchar_t* repairDouble;
  bool valueElsewhere;         // App Paths names another folder holding only vellis\ostra505.dll
  RanFrom ranFrom;
};

constexpr const wchar_t* SAYS_YES = L"count=11 entry10=1";

// The whole job: ostra505.exe in Suite\vellis with Kordel.exe one level up binds the signed base
// library of the suite directory behind its own signature check, asks it about the repair
// library, and runs that one when the answer is yes.
TEST(Ostra505, RunsTheRepairLibraryOnlyWhenASignedBaseLibraryTrustsIt) {
  const TrustCase cases[] = {
      {"trailing block, entry 10 says yes", L"base_trailing.dll", SAYS_YES, L"repair_double.dll", false, DIRECTLY},
      {"trailing block, entry 10 says 0", L"base_trailing.dll", L"count=11 entry10=0", L"repair_double.dll", false,
       NOT_CALLED},
      {"trust object accepts by property 5", L"base_trailing.dll", L"count=10 object=1 open=1 p5=1:0x30000",
       L"repair_double.dll", false, DIRECTLY},
      {"trust object accepts by no property", L"base_trailing.dll",
       L"count=10 object=1 open=1 p4=1:0x1000 p5=1:0x20000 p3=1:0x200", L"repair_double.dll", false, NOT_CALLED},
      {"signature resource only, valid", L"base_resource.dll", SAYS_YES, L"repair_double.dll", false, NOT_CALLED},
      {"certificate-table record, expired", L"base_entry_expired.dll", SAYS_YES, L"repair_double.dll", false,
       DIRECTLY},
      {"trailing block does not verify", L"base_trailing_corrupt.dll", SAYS_YES, L"repair_double.dll", false,
       NOT_CALLED},
      {"unsigned base library", L"base_unsigned.dll", SAYS_YES, L"repair_double.dll", false, NOT_CALLED},
      {"InitLibs returns 1", L"base_trailing.dll", L"count=11 entry10=1 initlibs=1", L"repair_double.dll", false,
       NOT_CALLED},
      {"the direct load fails: a temporary copy runs", L"base_trailing.dll", SAYS_YES, L"repair_double_refusing.dll",
       false, FROM_COPY},
      {"suite found one level up, not where App Paths points", L"base_trailing.dll", SAYS_YES, L"repair_double.dll",
       true, DIRECTLY},
  };
  HKEY sessionManager = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_READ, &sessionManager));
  for (const TrustCase& c : cases) {
    SCOPED_TRACE(c.name);
    CRegistryValueSnapshot pending(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, PENDING_RENAMES_VALUE, 0);
    CRegistryValueSnapshot suiteValue(HKEY_LOCAL_MACHINE, APP_PATHS_KEY, L"Path", KEY_WOW64_32KEY);
    const std::vector<std::wstring> before = PendingDeletions(sessionManager);
    CScopedTree tree;
    const std::wstring launcher = tree.Path(L"Suite\\vellis\\ostra505.exe");
    const std::wstring repairRoot = tree.Path(c.valueElsewhere ? L"Elsewhere" : L"Suite");
    const std::wstring library = repairRoot + L"\\vellis\\ostra505.dll";
    const std::wstring log = tree.Path(L"do505.log");
    tree.Place(L"Suite\\vellis\\ostra505.exe", BinaryPath(L"ostra505.exe"));
    tree.Place(L"Suite\\Kordel.exe");
    tree.Place(L"Suite\\TamselBase.dll", BinaryDirectory() + L"\\launcher_e2e\\" + c.baseLibrary);
    tree.Place(library.substr(tree.Root().size() + 1), BinaryPath(c.repairDouble));
    SetSuiteValue(repairRoot);
    SetEnvironmentVariableW(REPAIR_DOUBLE_LOG_VARIABLE, log.c_str());
    SetEnvironmentVariableW(BASE_DOUBLE_CONFIG_VARIABLE, c.answers);

    EXPECT_EQ(0u, RunProgram(launcher));

    SetEnvironmentVariableW(BASE_DOUBLE_CONFIG_VARIABLE, nullptr);
    SetEnvironmentVariableW(REPAIR_DOUBLE_LOG_VARIABLE, nullptr);
    std::vector<std::wstring> added;
    for (const std::wstring& path : PendingDeletions(sessionManager)) {
      if (std::none_of(before.begin(), before.end(), [&](const std::wstring& p) { return SamePath(p, path); })) {
        added.push_back(path);
      }
    }
    std::vector<std::wstring> modules = Do505Modules(log);
    if (c.ranFrom == NOT_CALLED) {
      EXPECT_TRUE(modules.empty());
      EXPECT_TRUE(added.empty());
    } else {
      ASSERT_EQ(1u, modules.size());
      if (c.ranFrom == DIRECTLY) {
        EXPECT_TRUE(SamePath(library, modules[0]));
        EXPECT_TRUE(added.empty());
      } else {
        // The copy could not be deleted while loaded; its deletion at restart was scheduled.
        ASSERT_EQ(1u, added.size());
        EXPECT_TRUE(SamePath(added[0], modules[0]));
        EXPECT_FALSE(SamePath(library, modules[0]));
        DeleteFileW(added[0].c_str());
      }
    }
  }
  RegCloseKey(sessionManager);
}

std::string ManifestOf(const std::wstring& path) {
  std::string manifest;
  HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) {
    return manifest;
  }
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), RT_MANIFEST);
  HGLOBAL loaded = resource != nullptr ? LoadResource(image, resource) : nullptr;
  if (loaded != nullptr) {
    manifest.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(image, resource));
  }
  FreeLibrary(image);
  return manifest;
}

std::wstring VersionString(const std::wstring& path, const wchar_t* name) {
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
  std::vector<BYTE> data(size);
  void* value = nullptr;
  UINT length = 0;
  std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), query.c_str(), &value, &length)) {
    return std::wstring();
  }
  return static_cast<const wchar_t*>(value);
}

// The longest stretch of printable text in a file, line breaks included.
size_t LongestTextRun(const std::string& bytes) {
  size_t longest = 0;
  size_t run = 0;
  for (char c : bytes) {
    run = (c == '\n' || (c >= 0x20 && c < 0x7F)) ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

TEST(Ostra505, IsAGuiProgramThatAsksForTheInvokersRightsAndCarriesItsResources) {
  const std::wstring path = BinaryPath(L"ostra505.exe");
  // For a PE file, the high word is the subsystem version of a GUI program and 0 for a console one.
  DWORD_PTR type = SHGetFileInfoW(path.c_str(), 0, nullptr, 0, SHGFI_EXETYPE);
  EXPECT_EQ(0x4550u, LOWORD(type));
  EXPECT_NE(0u, HIWORD(type));

  std::string manifest = ManifestOf(path);
  EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
  EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));

  EXPECT_EQ(L"ostra505.exe", VersionString(path, L"OriginalFilename"));
  EXPECT_GE(LongestTextRun(ReadFileBytes(path)), 64u * 1024u - 1u);
}

}  // namespace
