// The binding of a suite library behind its signature check: the verdicts it accepts, the
// entry protocol, the already-loaded and driver shortcuts, the one full path of check and
// load, and the file held unchangeable from the check to the load. The verifier is the test's,
// so each verdict can be chosen; the libraries are the base-library doubles, copied as
// "TamselBase.dll" into a fresh tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/doubles/base_double.h"
#include "tests/support/test_support.h"
#include "tests/trust/fake_driver.h"
#include "trust/trust.h"

namespace {

// ---------------------------------------------------------------- the test's platform


// What the verifier answers, and what it saw.
struct FAKEVERIFIER {
  int result;
  int32_t level;
  int32_t kind;
  // Called while the verifier runs, with the path it was asked about.
  void (*during)(const wchar_t* path);

  int calls;
  std::wstring path;
  bool recordZeroed;  // the caller's VERIFYINFO was zero apart from its buffer
  uint32_t bufferSize;
  bool bufferGiven;
  int32_t levelOnEntry;
};
FAKEVERIFIER g_verifier;

void Answer(int result, int32_t level, int32_t kind) {
  g_verifier = FAKEVERIFIER{};
  g_verifier.result = result;
  g_verifier.level = level;
  g_verifier.kind = kind;
}

int FakeVerify(const wchar_t* path, VERIFYINFO* info, int32_t* level) {
  ++g_verifier.calls;
  g_verifier.path = path;
  g_verifier.recordZeroed = info->sign.status == 0 && info->sign.kind == 0 && info->sign.text4 == nullptr &&
                            info->sign.expiry == 0 && info->entryLength == 0;
  g_verifier.bufferGiven = info->buffer != nullptr;
  g_verifier.bufferSize = info->bufferSize;
  g_verifier.levelOnEntry = *level;
  if (g_verifier.during != nullptr) {
    g_verifier.during(path);
  }
  if (g_verifier.result != 0) {
    info->sign.kind = g_verifier.kind;
    *level = g_verifier.level;
  }
  return g_verifier.result;
}

std::wstring g_suiteDirectory;
std::wstring TestSuiteDirectory() { return g_suiteDirectory; }

const TRUSTPLATFORM kPlatform = {&kDriver, FakeVerify, TestSuiteDirectory};

// A binding instance whose state the test can read.
class CTestBinding : public CTamselBaseExportFuncs {
 public:
  HMODULE Module() const { return m_hModule; }
  const INITLIBS_TABLE& Exports() const { return m_exports; }
  bool HasCreateObject() const { return m_pfnCreateObject != nullptr; }
  BASEDOUBLELOG Log() const {
    BASEDOUBLELOG log = {};
    if (FARPROC read = GetProcAddress(m_hModule, "BaseDoubleReadLog")) {
      ExportAs<BASEDOUBLEREADLOGFN>(read)(&log);
    }
    return log;
  }
};

std::wstring ModuleFileName(HMODULE module) {
  wchar_t name[MAX_PATH] = {};
  GetModuleFileNameW(module, name, MAX_PATH);
  return name;
}

// A tree with one base-library double as "TamselBase.dll", its answers set for the load.
class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_driverAnswer = 0;
    Answer(1, TRUST_VALID, SIGKIND_TRAILING);
    SetEnvironmentVariableW(BASE_DOUBLE_CONFIG_VARIABLE, L"count=11 entry10=7");
  }
  void TearDown() override { SetEnvironmentVariableW(BASE_DOUBLE_CONFIG_VARIABLE, nullptr); }

  std::wstring PlaceBase(const wchar_t* double_ = L"base_double.dll") {
    m_tree.Place(BASE_LIBRARY_NAME, BinaryPath(double_));
    return m_tree.Path(BASE_LIBRARY_NAME);
  }

  CScopedTree m_tree;
};

struct VerdictCase {
  const char* name;
  int result;
  int32_t level;
  int32_t kind;
  bool bound;
};

TEST_F(BindingTest, LoadsOnlyWhatTheVerifierFindsTrustedAndNotByTheSignatureResource) {
  const VerdictCase cases[] = {
      {"verification failed", 0, TRUST_VALID, SIGKIND_TRAILING, false},
      {"no signature", 1, TRUST_NONE, SIGKIND_RECORD1, false},
      {"trailing block does not verify", 1, TRUST_INVALID, SIGKIND_TRAILING, false},
      {"trailing block valid", 1, TRUST_VALID, SIGKIND_TRAILING, true},
      {"record type 1 valid", 1, TRUST_VALID, SIGKIND_RECORD1, true},
      {"record type 2 expired", 1, TRUST_EXPIRED, SIGKIND_RECORD2, true},
      {"record type 3 valid", 1, TRUST_VALID, SIGKIND_RECORD3, true},
      {"signature resource valid", 1, TRUST_VALID, SIGKIND_RESOURCE, false},
      {"kind left unknown", 1, TRUST_VALID, SIGKIND_UNKNOWN, false},
      {"a level beyond valid", 1, 4, SIGKIND_TRAILING, false},
  };
  const std::wstring path = PlaceBase();
  for (const VerdictCase& c : cases) {
    SCOPED_TRACE(c.name);
    Answer(c.result, c.level, c.kind);
    {
      CTestBinding binding;
      EXPECT_EQ(c.bound ? 1 : 0, binding.EnsureBound(path.c_str(), kPlatform));
      EXPECT_EQ(1, g_verifier.calls);
      EXPECT_EQ(path, g_verifier.path);
      EXPECT_TRUE(g_verifier.recordZeroed);
      EXPECT_TRUE(g_verifier.bufferGiven);
      EXPECT_EQ(8192u, g_verifier.bufferSize);
      EXPECT_EQ(TRUST_NONE, g_verifier.levelOnEntry);
      EXPECT_EQ(c.bound, binding.Module() != nullptr);
      EXPECT_EQ(c.bound, GetModuleHandleW(path.c_str()) != nullptr);
      if (c.bound) {
        EXPECT_EQ(7, binding.IsFileTrusted(L"C:\\Suite\\vellis\\ostra505.dll"));
      }
      // Every later call answers the first outcome without a second look.
      EXPECT_EQ(c.bound ? 1 : 0, binding.EnsureBound(L"Z:\\elsewhere\\TamselBase.dll", kPlatform));
      EXPECT_EQ(1, g_verifier.calls);
    }
    // The instance releases what it bound, exactly once.
    EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str()));
  }
}

struct ProtocolCase {
  const char* name;
  const wchar_t* library;
  const wchar_t* answers;
  bool bound;
  bool tableFilled;   // dwCount 11 and entry 10 set, as InitLibs left them
  bool createObject;  // "CreateObject" kept
};

TEST_F(BindingTest, FollowsTheEntryProtocolAndReleasesALibraryThatFailsIt) {
  const ProtocolCase cases[] = {
      {"InitLibs returns 0", L"base_double.dll", L"count=11 entry10=7", true, true, true},
      {"InitLibs returns 0, no CreateObject", L"base_double_initonly.dll", L"count=11 entry10=7", true, true, false},
      {"InitLibs returns 1", L"base_double.dll", L"count=11 entry10=7 initlibs=1", false, false, false},
      {"only CreateObject: the table stays as made", L"base_double_objectonly.dll", L"count=11 entry10=7", true,
       false, true},
      {"neither entry", L"base_double_noentries.dll", L"", false, false, false},
  };
  for (const ProtocolCase& c : cases) {
    SCOPED_TRACE(c.name);
    CScopedTree tree;
    tree.Place(BASE_LIBRARY_NAME, BinaryPath(c.library));
    const std::wstring path = tree.Path(BASE_LIBRARY_NAME);
    SetEnvironmentVariableW(BASE_DOUBLE_CONFIG_VARIABLE, c.answers);
    Answer(1, TRUST_VALID, SIGKIND_TRAILING);
    {
      CTestBinding binding;
      EXPECT_EQ(c.bound ? 1 : 0, binding.EnsureBound(path.c_str(), kPlatform));
      EXPECT_EQ(1, g_verifier.calls);
      EXPECT_EQ(c.bound, binding.Module() != nullptr);
      EXPECT_EQ(c.bound, GetModuleHandleW(path.c_str()) != nullptr);
      EXPECT_EQ(c.createObject, binding.HasCreateObject());
      if (c.bound) {
        EXPECT_EQ(c.tableFilled ? 11u : 256u, binding.Exports().dwCount);
        EXPECT_EQ(c.tableFilled, binding.Exports().pfnEntries[10] != nullptr);
      } else {
        // A failed attempt is the attempt: nothing is loaded or checked again.
        EXPECT_EQ(0, binding.EnsureBound(path.c_str(), kPlatform));
        EXPECT_EQ(1, g_verifier.calls);
        EXPECT_EQ(0, binding.IsFileTrusted(L"C:\\Suite\\vellis\\ostra505.dll"));
      }
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str()));
  }
}

TEST_F(BindingTest, InitLibsReceivesTheTableWithAllSlotsCounted) {
  const std::wstring path = PlaceBase();
  CTestBinding binding;
  ASSERT_EQ(1, binding.EnsureBound(path.c_str(), kPlatform));
  BASEDOUBLELOG log = binding.Log();
  EXPECT_EQ(1u, log.initLibsCalls);
  EXPECT_EQ(256u, log.initLibsCountIn);
}

TEST_F(BindingTest, ALibraryAlreadyLoadedUnderThePathIsBoundWithoutACheck) {
  const std::wstring path = PlaceBase();
  Answer(1, TRUST_INVALID, SIGKIND_TRAILING);
  g_driverAnswer = 0;
  HMODULE mine = LoadLibraryW(path.c_str());
  ASSERT_NE(nullptr, mine);
  {
    CTestBinding binding;
    EXPECT_EQ(1, binding.EnsureBound(path.c_str(), kPlatform));
    EXPECT_EQ(0, g_verifier.calls);
    EXPECT_EQ(mine, binding.Module());
  }
  // The binding took a reference of its own and gave it back: the module stays for this one.
  EXPECT_EQ(mine, GetModuleHandleW(path.c_str()));
  FreeLibrary(mine);
  EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str()));
}

TEST_F(BindingTest, TheDriversWordLoadsWithoutACheck) {
  const std::wstring path = PlaceBase();
  Answer(1, TRUST_INVALID, SIGKIND_TRAILING);
  g_driverAnswer = 1;
  CTestBinding binding;
  EXPECT_EQ(1, binding.EnsureBound(path.c_str(), kPlatform));
  EXPECT_EQ(0, g_verifier.calls);
}

TEST_F(BindingTest, AMissingLibraryIsRefusedWithoutACheck) {
  CTestBinding binding;
  EXPECT_EQ(0, binding.EnsureBound(m_tree.Path(BASE_LIBRARY_NAME).c_str(), kPlatform));
  EXPECT_EQ(0, g_verifier.calls);
}

// Threads that ask at once all get the one outcome of the one attempt.
struct RACER {
  CTestBinding* binding;
  const std::wstring* path;
  HANDLE start;
  LONG result;
};

DWORD WINAPI Race(void* parameter) {
  RACER* racer = static_cast<RACER*>(parameter);
  WaitForSingleObject(racer->start, INFINITE);
  racer->result = racer->binding->EnsureBound(racer->path->c_str(), kPlatform);
  return 0;
}

void SlowVerifier(const wchar_t*) { Sleep(20); }

TEST_F(BindingTest, ConcurrentCallersShareOneAttempt) {
  const std::wstring path = PlaceBase();
  g_verifier.during = SlowVerifier;
  CTestBinding binding;
  HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<RACER> racers(8, RACER{&binding, &path, start, -1});
  std::vector<HANDLE> threads;
  for (RACER& racer : racers) {
    threads.push_back(CreateThread(nullptr, 0, Race, &racer, 0, nullptr));
  }
  SetEvent(start);
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  for (HANDLE thread : threads) {
    CloseHandle(thread);
  }
  CloseHandle(start);
  EXPECT_EQ(1, g_verifier.calls);
  for (const RACER& racer : racers) {
    EXPECT_EQ(1, racer.result);
  }
}

// ---------------------------------------------------------------- the file stays as checked

CHANGEATTEMPTS g_access;
std::wstring g_copyTarget;

// Tries, while the file is being judged, what would change it, and what only reads it the way
// the signature verifier and CopyFileW do.
void TryToChange(const wchar_t* path) { g_access = TryToChangeFile(path, g_copyTarget); }

TEST_F(BindingTest, TheCheckedFileCannotBeWrittenRenamedOrDeletedBeforeItIsLoaded) {
  const std::wstring path = PlaceBase();
  g_copyTarget = m_tree.Path(L"copy.dll");
  g_access = CHANGEATTEMPTS{};
  g_verifier.during = TryToChange;
  CTestBinding binding;
  EXPECT_EQ(1, binding.EnsureBound(path.c_str(), kPlatform));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_access.write);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_access.rename);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_access.remove);
  EXPECT_TRUE(g_access.read);
  EXPECT_TRUE(g_access.copied);
  EXPECT_EQ(path, ModuleFileName(binding.Module()));
}

TEST_F(BindingTest, AFileOpenForWritingIsRefusedWithoutACheck) {
  const std::wstring path = PlaceBase();
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  CTestBinding binding;
  EXPECT_EQ(0, binding.EnsureBound(path.c_str(), kPlatform));
  EXPECT_EQ(0, g_verifier.calls);
  CloseHandle(writer);
}

// ---------------------------------------------------------------- the gate's base route

TEST_F(BindingTest, TheGateBindsTheBaseLibraryInTheSuiteDirectoryAndAsksIt) {
  const std::wstring path = PlaceBase();
  g_suiteDirectory = m_tree.Root();
  CTestBinding base;
  EXPECT_EQ(7, IsRepairLibraryTrustedBy(base, kPlatform, L"C:\\Suite\\vellis\\ostra505.dll"));
  EXPECT_EQ(path, g_verifier.path);
  EXPECT_EQ(std::wstring(L"C:\\Suite\\vellis\\ostra505.dll"), base.Log().entry10Path);
  // Bound for the rest of the process: a second question binds nothing again.
  EXPECT_EQ(7, IsRepairLibraryTrustedBy(base, kPlatform, L"C:\\Suite\\vellis\\ostra505.dll"));
  EXPECT_EQ(1, g_verifier.calls);
}

TEST_F(BindingTest, TheGateRefusesWhatTheBindingRefuses) {
  PlaceBase();
  g_suiteDirectory = m_tree.Root();
  Answer(1, TRUST_VALID, SIGKIND_RESOURCE);
  CTestBinding base;
  EXPECT_EQ(0, IsRepairLibraryTrustedBy(base, kPlatform, L"C:\\Suite\\vellis\\ostra505.dll"));
  EXPECT_EQ(0, base.IsBound());
}

TEST_F(BindingTest, TheGateRefusesABaseLibraryPathThatDoesNotFit) {
  g_suiteDirectory = L"C:\\" + std::wstring(250, L'x');
  CTestBinding base;
  EXPECT_EQ(0, IsRepairLibraryTrustedBy(base, kPlatform, L"C:\\Suite\\vellis\\ostra505.dll"));
  EXPECT_EQ(0, g_verifier.calls);
}

// With no suite directory the base library is the bare name. The check resolves it against the
// current directory; the load must take that same file, not one the library search finds first.
TEST_F(BindingTest, ABareNameIsCheckedAndLoadedAsTheSameFullPath) {
  const std::wstring checked = PlaceBase();
  CScopedTree searched;
  searched.Place(BASE_LIBRARY_NAME, BinaryPath(L"base_double.dll"));
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(m_tree.Root().c_str()));
  ASSERT_TRUE(SetDllDirectoryW(searched.Root().c_str()));
  g_suiteDirectory.clear();
  {
    CTestBinding base;
    EXPECT_EQ(7, IsRepairLibraryTrustedBy(base, kPlatform, L"C:\\Suite\\vellis\\ostra505.dll"));
    EXPECT_EQ(checked, g_verifier.path);
    EXPECT_EQ(checked, ModuleFileName(base.Module()));
  }
  SetDllDirectoryW(nullptr);
  SetCurrentDirectoryW(previous);
}

}  // namespace
