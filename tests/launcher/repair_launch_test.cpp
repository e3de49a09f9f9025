// The launcher's steps in this process, with a gate of the test's choosing, a redirected
// machine registry and the repair-library doubles. Deletions scheduled for the next restart
// go to the real Session Manager key, which every case restores exactly.
#include <gtest/gtest.h>

#include <shlwapi.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "tests/doubles/repair_double.h"
#include "tests/launcher/redirected_machine_key.h"
#include "tests/support/test_support.h"

namespace {

int32_t g_gateAnswer = 0;
std::vector<std::wstring> g_gateAsked;

int32_t RecordingGate(const wchar_t* repairLibraryPath) {
  g_gateAsked.push_back(repairLibraryPath);
  return g_gateAnswer;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool Contains(const std::vector<std::wstring>& paths, const std::wstring& path) {
  return std::any_of(paths.begin(), paths.end(), [&](const std::wstring& p) { return SamePath(p, path); });
}

std::wstring TemporaryDirectory() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  PathRemoveBackslashW(temp);
  return temp;
}

// A file named "<decimal>.dll" directly in the temporary folder.
bool IsTemporaryCopyName(const std::wstring& path) {
  std::wstring directory = TemporaryDirectory() + L"\\";
  if (path.size() <= directory.size() + 4 || !SamePath(path.substr(0, directory.size()), directory)) {
    return false;
  }
  std::wstring name = path.substr(directory.size());
  if (name.compare(name.size() - 4, 4, L".dll") != 0) {
    return false;
  }
  std::wstring digits = name.substr(0, name.size() - 4);
  return std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// One case's world: a suite tree, the redirected registry, the do505 log, and a restored
// list of pending deletions afterwards.
class CLaunchWorld {
 public:
  CLaunchWorld() {
    // Opened before the machine registry is redirected, so it names the real key.
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_READ, &m_sessionManager);
    m_pending = std::make_unique<CRegistryValueSnapshot>(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, PENDING_RENAMES_VALUE, 0);
    m_pendingBefore = PendingDeletions(m_sessionManager);
    m_tree = std::make_unique<CScopedTree>();
    m_machine = std::make_unique<CRedirectedMachineKey>();
    m_log = m_tree->Path(L"do505.log");
    SetEnvironmentVariableW(REPAIR_DOUBLE_LOG_VARIABLE, m_log.c_str());
    g_gateAsked.clear();
    g_gateAnswer = 1;
  }
  CLaunchWorld(const CLaunchWorld&) = delete;
  CLaunchWorld& operator=(const CLaunchWorld&) = delete;

  ~CLaunchWorld() {
    SetEnvironmentVariableW(REPAIR_DOUBLE_LOG_VARIABLE, nullptr);
    // The launcher never unloads the repair library; this process must, to clean up.
    for (const std::wstring& module : m_loaded) {
      while (HMODULE loaded = GetModuleHandleW(module.c_str())) {
        FreeLibrary(loaded);
      }
      DeleteFileW(module.c_str());
    }
    m_machine.reset();
    m_tree.reset();
    m_pending.reset();
    RegCloseKey(m_sessionManager);
  }

  const CScopedTree& Tree() const { return *m_tree; }

  void SetSuiteValue(const std::wstring& value) {
    m_machine->SetString(SUITE_APP_PATHS_KEY, SUITE_APP_PATHS_VALUE, value);
  }

  // Deletions scheduled since this world was made.
  std::vector<std::wstring> NewPendingDeletions() {
    std::vector<std::wstring> added;
    for (const std::wstring& path : PendingDeletions(m_sessionManager)) {
      if (!Contains(m_pendingBefore, path)) {
        added.push_back(path);
      }
    }
    return added;
  }

  // The module paths do505 ran from, one per call, after checking each call's arguments.
  std::vector<std::wstring> Do505Calls() {
    std::vector<std::wstring> modules = Do505Modules(m_log);
    m_loaded.insert(m_loaded.end(), modules.begin(), modules.end());
    return modules;
  }

  // Remembers modules to unload at the end, also where do505 never ran.
  void WillUnload(const std::vector<std::wstring>& modules) {
    m_loaded.insert(m_loaded.end(), modules.begin(), modules.end());
  }

 private:
  HKEY m_sessionManager = nullptr;
  std::unique_ptr<CRegistryValueSnapshot> m_pending;
  std::vector<std::wstring> m_pendingBefore;
  std::unique_ptr<CScopedTree> m_tree;
  std::unique_ptr<CRedirectedMachineKey> m_machine;
  std::wstring m_log;
  std::vector<std::wstring> m_loaded;
};

enum RanFrom { NOT_CALLED, DIRECTLY, FROM_COPY };

struct LaunchCase {
  const char* name;
  const wchar_t* repairDouble;  // placed as suite\vellis\ostra505.dll; null: absent
  const wchar_t* suiteValue;    // relative to the tree; null: value missing
  int32_t gateAnswer;
  bool gateAsked;
  RanFrom ranFrom;
  bool temporaryCopyScheduled;
};

TEST(RepairLaunch, RunsTheRepairLibraryDirectlyOrThroughATemporaryCopy) {
  const LaunchCase cases[] = {
      {"direct load", L"repair_double.dll", L"suite", 1, true, DIRECTLY, false},
      {"suite value with a trailing backslash", L"repair_double.dll", L"suite\\", 1, true, DIRECTLY, false},
      {"gate answers any nonzero value", L"repair_double.dll", L"suite", 7, true, DIRECTLY, false},
      {"direct load refused: a temporary copy runs", L"repair_double_refusing.dll", L"suite", 1, true, FROM_COPY, true},
      {"do505 missing: no call, the copy is still removed", L"repair_double_noentry_refusing.dll", L"suite", 1, true,
       NOT_CALLED, true},
      {"gate refuses", L"repair_double.dll", L"suite", 0, true, NOT_CALLED, false},
      {"repair library absent", nullptr, L"suite", 1, false, NOT_CALLED, false},
      {"registry value missing", L"repair_double.dll", nullptr, 1, false, NOT_CALLED, false},
  };
  const std::wstring ownPath = BinaryPath(L"launcher_tests.exe");
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(c.name);
    CLaunchWorld world;
    g_gateAnswer = c.gateAnswer;
    const std::wstring library = world.Tree().Path(L"suite\\vellis\\ostra505.dll");
    if (c.repairDouble != nullptr) {
      world.Tree().Place(L"suite\\vellis\\ostra505.dll", BinaryPath(c.repairDouble));
    }
    if (c.suiteValue != nullptr) {
      world.SetSuiteValue(world.Tree().Path(c.suiteValue));
    }
    world.WillUnload({library});

    EXPECT_EQ(0, RunRepairLaunch(RecordingGate));

    std::vector<std::wstring> pending = world.NewPendingDeletions();
    // This program runs outside a "\vellis\" folder, so it schedules itself once it has the value.
    EXPECT_EQ(c.suiteValue != nullptr, Contains(pending, ownPath));
    ASSERT_EQ(c.gateAsked ? 1u : 0u, g_gateAsked.size());
    if (c.gateAsked) {
      EXPECT_EQ(library, g_gateAsked[0]);
    }
    std::vector<std::wstring> copies;
    for (const std::wstring& path : pending) {
      if (IsTemporaryCopyName(path)) {
        copies.push_back(path);
      }
    }
    world.WillUnload(copies);
    ASSERT_EQ(c.temporaryCopyScheduled ? 1u : 0u, copies.size());
    // The immediate deletion of the copy fails while it is loaded, as on Windows; the
    // scheduled deletion is what removes it.

    std::vector<std::wstring> calls = world.Do505Calls();
    if (c.ranFrom == NOT_CALLED) {
      EXPECT_TRUE(calls.empty());
    } else {
      ASSERT_EQ(1u, calls.size());
      if (c.ranFrom == DIRECTLY) {
        EXPECT_EQ(library, calls[0]);
      } else {
        EXPECT_TRUE(SamePath(copies[0], calls[0]));
      }
    }
  }
}

TEST(RepairLaunch, AnEmptyValueAsksAboutAndLoadsTheOneFileBelowTheCurrentDirectory) {
  CLaunchWorld world;
  world.Tree().Place(L"suite\\vellis\\ostra505.dll", BinaryPath(L"repair_double.dll"));
  const std::wstring library = world.Tree().Path(L"suite\\vellis\\ostra505.dll");
  world.WillUnload({library});
  world.SetSuiteValue(L"");
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(world.Tree().Path(L"suite").c_str()));
  RunRepairLaunch(RecordingGate);
  SetCurrentDirectoryW(previous);

  ASSERT_EQ(1u, g_gateAsked.size());
  EXPECT_EQ(library, g_gateAsked[0]);
  std::vector<std::wstring> calls = world.Do505Calls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(library, calls[0]);
}

TEST(RepairLaunch, ACopyThatCannotBeMadeStopsTheLaunch) {
  CLaunchWorld world;
  world.Tree().Place(L"suite\\vellis\\ostra505.dll", BinaryPath(L"repair_double_refusing.dll"));
  world.SetSuiteValue(world.Tree().Path(L"suite"));
  const std::wstring nowhere = world.Tree().Path(L"no such folder\\");
  wchar_t tmp[MAX_PATH] = {}, temp[MAX_PATH] = {};
  GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH);
  GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", nowhere.c_str());
  SetEnvironmentVariableW(L"TEMP", nowhere.c_str());
  RunRepairLaunch(RecordingGate);
  SetEnvironmentVariableW(L"TMP", tmp);
  SetEnvironmentVariableW(L"TEMP", temp);

  EXPECT_EQ(1u, g_gateAsked.size());
  EXPECT_TRUE(world.Do505Calls().empty());
  std::vector<std::wstring> pending = world.NewPendingDeletions();
  ASSERT_EQ(1u, pending.size());
  EXPECT_TRUE(SamePath(BinaryPath(L"launcher_tests.exe"), pending[0]));
}

// What a gate that tries to change the library it judges gets.
CHANGEATTEMPTS g_attempts;
std::wstring g_gateCopy;

int32_t ChangingGate(const wchar_t* path) {
  g_gateAsked.push_back(path);
  g_attempts = TryToChangeFile(path, g_gateCopy);
  return 1;
}

TEST(RepairLaunch, TheJudgedLibraryCannotChangeBeforeItRunsButCanBeReadAndCopied) {
  const struct {
    const char* name;
    const wchar_t* repairDouble;
    RanFrom ranFrom;
  } cases[] = {
      {"direct load", L"repair_double.dll", DIRECTLY},
      {"through the temporary copy", L"repair_double_refusing.dll", FROM_COPY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CLaunchWorld world;
    world.Tree().Place(L"suite\\vellis\\ostra505.dll", BinaryPath(c.repairDouble));
    const std::wstring library = world.Tree().Path(L"suite\\vellis\\ostra505.dll");
    world.SetSuiteValue(world.Tree().Path(L"suite"));
    world.WillUnload({library});
    g_gateCopy = world.Tree().Path(L"judged copy.dll");
    g_attempts = CHANGEATTEMPTS{};

    RunRepairLaunch(ChangingGate);

    ASSERT_EQ(1u, g_gateAsked.size());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_attempts.write);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_attempts.rename);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_attempts.remove);
    EXPECT_TRUE(g_attempts.read);
    EXPECT_TRUE(g_attempts.copied);
    std::vector<std::wstring> copies;
    for (const std::wstring& path : world.NewPendingDeletions()) {
      if (IsTemporaryCopyName(path)) {
        copies.push_back(path);
      }
    }
    world.WillUnload(copies);
    std::vector<std::wstring> calls = world.Do505Calls();
    ASSERT_EQ(1u, calls.size());
    if (c.ranFrom == DIRECTLY) {
      EXPECT_EQ(library, calls[0]);
    } else {
      ASSERT_EQ(1u, copies.size());
      EXPECT_TRUE(SamePath(copies[0], calls[0]));
    }
    if (c.ranFrom == FROM_COPY) {
      // Held only until copied: the original, never loaded, may be replaced again afterwards.
      EXPECT_TRUE(MoveFileExW(library.c_str(), (library + L".old").c_str(), 0));
    }
  }
}

TEST(RepairLaunch, ALibraryOpenForWritingIsNotJudgedOrRun) {
  CLaunchWorld world;
  world.Tree().Place(L"suite\\vellis\\ostra505.dll", BinaryPath(L"repair_double.dll"));
  const std::wstring library = world.Tree().Path(L"suite\\vellis\\ostra505.dll");
  world.SetSuiteValue(world.Tree().Path(L"suite"));
  world.WillUnload({library});
  HANDLE writer = CreateFileW(library.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  RunRepairLaunch(RecordingGate);
  CloseHandle(writer);
  EXPECT_TRUE(g_gateAsked.empty());
  EXPECT_TRUE(world.Do505Calls().empty());
}

}  // namespace
