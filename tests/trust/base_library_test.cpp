// The base library's answer about a file (direct entry or trust object) and the gate around an
// instance that is already bound, against the base-library double. The binding itself is
// tested apart: here a test instance performs the entry protocol and marks itself bound.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/doubles/base_double.h"
#include "tests/support/test_support.h"
#include "tests/trust/fake_driver.h"
#include "trust/export_cast.h"
#include "trust/trust.h"

namespace {

constexpr const wchar_t* kAskedPath = L"C:\\Suite\\vellis\\ostra505.dll";

// A base-library object that binds itself to a module the test loaded, or to a factory.
class CTestBaseLibrary : public CTamselBaseExportFuncs {
 public:
  void AdoptLibrary(HMODULE module) {
    m_hModule = module;
    m_pfnCreateObject = ExportAs<CREATEOBJECTFN>(GetProcAddress(module, "CreateObject"));
    m_exports.dwCount = INITLIBS_SLOT_COUNT;
    ExportAs<INITLIBSFN>(GetProcAddress(module, "InitLibs"))(&m_exports);
    MarkBound();
  }
  void AdoptFactory(CREATEOBJECTFN factory) {
    m_pfnCreateObject = factory;
    MarkBound();
  }
  void AdoptDirectEntry(FARPROC entry) {
    m_exports.dwCount = INITLIBS_SLOT_COUNT;
    m_exports.pfnEntries[BASE_DIRECT_TRUST_ENTRY] = entry;
  }
  void MarkBound() {
    m_bBound = 1;
    m_bTried.store(1);
  }
  const INITLIBS_TABLE& Exports() const { return m_exports; }
  HMODULE Module() const { return m_hModule; }
};

class BaseLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_double = LoadLibraryW(BinaryPath(L"base_double.dll").c_str());
    ASSERT_NE(nullptr, m_double);
    m_configure = ExportAs<BASEDOUBLECONFIGUREFN>(GetProcAddress(m_double, "BaseDoubleConfigure"));
    m_readLog = ExportAs<BASEDOUBLEREADLOGFN>(GetProcAddress(m_double, "BaseDoubleReadLog"));
    ASSERT_NE(nullptr, m_configure);
    ASSERT_NE(nullptr, m_readLog);
  }
  void TearDown() override { FreeLibrary(m_double); }

  // Configures the double and binds a fresh instance to it (the instance holds its own
  // reference to the module and releases it when it ends).
  std::unique_ptr<CTestBaseLibrary> Bind(const BASEDOUBLECONFIG& config) {
    m_configure(&config);
    auto base = std::make_unique<CTestBaseLibrary>();
    base->AdoptLibrary(LoadLibraryW(BinaryPath(L"base_double.dll").c_str()));
    return base;
  }
  BASEDOUBLELOG Log() {
    BASEDOUBLELOG log;
    m_readLog(&log);
    return log;
  }

  HMODULE m_double = nullptr;
  BASEDOUBLECONFIGUREFN m_configure = nullptr;
  BASEDOUBLEREADLOGFN m_readLog = nullptr;
};

// A trust object that accepts through property 4.
BASEDOUBLECONFIG AcceptingObject() {
  BASEDOUBLECONFIG config = {};
  config.createsObject = 1;
  config.openResult = 1;
  config.properties[4] = {1, 0x2000};
  return config;
}

struct EntryCase {
  const char* name;
  uint32_t count;
  bool entry10Set;
  int32_t entry10Result;
  int32_t expected;
  bool entryDecides;
};

TEST_F(BaseLibraryTest, TheDirectEntryDecidesAloneWhenTheTableHasOne) {
  const EntryCase cases[] = {
      {"count 11, its 7 passed back as 7", 11, true, 7, 7, true},
      {"count 11, its 0 refuses although the object would accept", 11, true, 0, 0, true},
      {"a count above 0x7FFFFFFF is compared unsigned", 0x80000000u, true, 5, 5, true},
      {"count 10: the object decides", 10, true, 7, 1, false},
      {"entry 10 null: the object decides", 11, false, 7, 1, false},
      {"empty table: the object decides", 0, false, 7, 1, false},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    BASEDOUBLECONFIG config = AcceptingObject();
    config.exportCount = c.count;
    config.entry10Set = c.entry10Set;
    config.entry10Result = c.entry10Result;
    auto base = Bind(config);
    EXPECT_EQ(c.expected, base->IsFileTrusted(kAskedPath));
    BASEDOUBLELOG log = Log();
    EXPECT_EQ(c.entryDecides ? 1u : 0u, log.entry10Calls);
    EXPECT_EQ(c.entryDecides ? 0u : 1u, log.createObjectCalls);
    if (c.entryDecides) {
      EXPECT_EQ(std::wstring(kAskedPath), log.entry10Path);
      EXPECT_EQ(0, log.entry10Reserved);
    } else {
      EXPECT_EQ(1, log.createObjectIdMatched);
      EXPECT_EQ(1u, log.releases);
    }
  }
}

struct PropertyCase {
  const char* name;
  int32_t openResult;
  BASEDOUBLEPROPERTY property3, property4, property5;
  int32_t expected;
  std::vector<uint32_t> asked;
};

TEST_F(BaseLibraryTest, TheTrustObjectAcceptsOnTheFirstMatchingPropertyAndIsReleasedOnce) {
  const PropertyCase cases[] = {
      {"Open fails", 0, {1, 0x300}, {1, 0x2000}, {1, 0x30000}, 0, {}},
      {"property 4 field 2, other bits set", 1, {}, {1, 0xFFFF2FFFu}, {}, 1, {4}},
      {"property 4 field 3", 1, {}, {1, 0x3000}, {}, 1, {4}},
      {"property 4 field 10 asks property 5 next", 1, {}, {1, 0xA000}, {1, 0x30000}, 1, {4, 5}},
      {"property 4 field 1 does not accept", 1, {}, {1, 0x1000}, {}, 0, {4, 5, 3}},
      {"a failing property 4 call is not read", 1, {}, {0, 0x2000}, {1, 0x30000}, 1, {4, 5}},
      {"property 5 field 3, other bits set", 1, {}, {}, {1, 0xFFF3FFFFu}, 1, {4, 5}},
      {"property 5 field 2 does not accept", 1, {}, {}, {1, 0x20000}, 0, {4, 5, 3}},
      {"only property 3, field 3 and nothing else", 1, {1, 0x300}, {}, {}, 1, {4, 5, 3}},
      {"property 3 field 2 does not accept", 1, {1, 0x200}, {}, {}, 0, {4, 5, 3}},
      {"a failing property 3 call is not read", 1, {0, 0x300}, {}, {}, 0, {4, 5, 3}},
      {"no property accepts", 1, {1, 0xF0FF}, {1, 0xFFFF0FFFu}, {1, 0xFFF0FFFFu}, 0, {4, 5, 3}},
  };
  for (const PropertyCase& c : cases) {
    SCOPED_TRACE(c.name);
    BASEDOUBLECONFIG config = {};
    config.exportCount = 11;
    config.createsObject = 1;
    config.openResult = c.openResult;
    config.properties[3] = c.property3;
    config.properties[4] = c.property4;
    config.properties[5] = c.property5;
    auto base = Bind(config);
    EXPECT_EQ(c.expected, base->IsFileTrusted(kAskedPath));
    BASEDOUBLELOG log = Log();
    EXPECT_EQ(1u, log.openCalls);
    EXPECT_EQ(std::wstring(kAskedPath), log.openPath);
    EXPECT_EQ(0, log.openReserved);
    ASSERT_EQ(c.asked.size(), log.propertyCalls);
    for (size_t i = 0; i < c.asked.size(); ++i) {
      EXPECT_EQ(c.asked[i], log.propertyOrder[i]);
    }
    EXPECT_EQ(0, log.propertyValueNotCleared);
    EXPECT_EQ(0u, log.otherMethodCalls);
    EXPECT_EQ(1u, log.releases);
  }
}

TEST_F(BaseLibraryTest, WithoutAnObjectNothingIsOpenedOrReleased) {
  BASEDOUBLECONFIG config = AcceptingObject();
  config.createsObject = 0;
  auto base = Bind(config);
  EXPECT_EQ(0, base->IsFileTrusted(kAskedPath));
  BASEDOUBLELOG log = Log();
  EXPECT_EQ(1u, log.createObjectCalls);
  EXPECT_EQ(0u, log.openCalls);
  EXPECT_EQ(0u, log.releases);
}

TEST_F(BaseLibraryTest, AnUnboundInstanceRefusesAndLeavesItsTableAsConstructed) {
  CTestBaseLibrary base;
  EXPECT_EQ(0, base.IsBound());
  EXPECT_EQ(INITLIBS_SLOT_COUNT, base.Exports().dwCount);
  for (FARPROC entry : base.Exports().pfnEntries) {
    EXPECT_EQ(nullptr, entry);
  }
  EXPECT_EQ(0, base.IsFileTrusted(kAskedPath));
}

TEST_F(BaseLibraryTest, TheInstanceReleasesItsBoundLibraryExactlyOnce) {
  const std::wstring path = BinaryPath(L"base_double.dll");
  {
    auto base = Bind(AcceptingObject());
    EXPECT_EQ(256u, Log().initLibsCountIn);
  }
  // Only this fixture's own reference is left: one release by the instance, not two.
  EXPECT_EQ(m_double, GetModuleHandleW(path.c_str()));
  FreeLibrary(m_double);
  EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str()));
  m_double = LoadLibraryW(path.c_str());
}

// A trust object of this program that fails in a chosen way, counting its releases. A suite
// library may raise a structured exception whatever compiler built it, or throw when built
// like this program; neither may leave the base library's answer.
enum class Failure { None, ThrowInGetProperty, RaiseInOpen, RaiseInGetProperty, FaultInGetProperty,
                     RaiseInCreateObject, RaiseInRelease, RaiseInDirectEntry };
Failure g_failure = Failure::None;
int g_failingReleases = 0;
constexpr DWORD kForeignException = 0xE06D7363;  // what another compiler's C++ throw raises

void FailIf(Failure where) {
  if (g_failure != where) return;
  if (where == Failure::ThrowInGetProperty) throw std::runtime_error("answer lost");
  if (where == Failure::FaultInGetProperty) *static_cast<volatile int*>(nullptr) = 1;
  RaiseException(kForeignException, 0, 0, nullptr);
}

struct FAILINGOBJECT {
  void* const* methods;
};
ULONG WINAPI FailingRelease(void*) {
  ++g_failingReleases;
  FailIf(Failure::RaiseInRelease);
  return 0;
}
int32_t WINAPI FailingOpen(void*, const wchar_t*, int32_t) {
  FailIf(Failure::RaiseInOpen);
  return 1;
}
int32_t WINAPI FailingGetProperty(void*, uint32_t, uint32_t* value) {
  FailIf(Failure::ThrowInGetProperty);
  FailIf(Failure::RaiseInGetProperty);
  FailIf(Failure::FaultInGetProperty);
  *value = 0x3000;  // accepts through property 4
  return 1;
}
void* g_failingMethods[22] = {};
FAILINGOBJECT g_failingObject = {g_failingMethods};

int32_t WINAPI CreateFailingObject(const GUID*, void** object) {
  g_failingMethods[FILETRUST_SLOT_RELEASE] = reinterpret_cast<void*>(FailingRelease);
  g_failingMethods[FILETRUST_SLOT_OPEN] = reinterpret_cast<void*>(FailingOpen);
  g_failingMethods[FILETRUST_SLOT_GETPROPERTY] = reinterpret_cast<void*>(FailingGetProperty);
  *object = &g_failingObject;
  FailIf(Failure::RaiseInCreateObject);
  return 0;
}

int32_t WINAPI FailingDirectEntry(const wchar_t*, int32_t) {
  FailIf(Failure::RaiseInDirectEntry);
  return 7;
}

TEST(TrustObject, AFailingCallIntoTheLibraryRefusesAndReleasesTheObjectOnce) {
  struct CASE {
    const char* name;
    Failure failure;
    bool direct;
    int32_t expected;
    int releases;
  };
  const CASE cases[] = {
      {"no failure: property 4 accepts", Failure::None, false, 1, 1},
      {"C++ throw in GetProperty", Failure::ThrowInGetProperty, false, 0, 1},
      {"structured exception in Open", Failure::RaiseInOpen, false, 0, 1},
      {"structured exception in GetProperty", Failure::RaiseInGetProperty, false, 0, 1},
      {"access violation in GetProperty", Failure::FaultInGetProperty, false, 0, 1},
      // The object was handed out, but by a call that did not complete: it is not used.
      {"structured exception in CreateObject", Failure::RaiseInCreateObject, false, 0, 0},
      {"structured exception in Release", Failure::RaiseInRelease, false, 1, 1},
      {"no failure: the direct entry's 7", Failure::None, true, 7, 0},
      {"structured exception in the direct entry", Failure::RaiseInDirectEntry, true, 0, 0},
  };
  for (const CASE& c : cases) {
    SCOPED_TRACE(c.name);
    CTestBaseLibrary base;
    base.AdoptFactory(CreateFailingObject);
    if (c.direct) base.AdoptDirectEntry(reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(FailingDirectEntry)));
    g_failure = c.failure;
    g_failingReleases = 0;
    EXPECT_EQ(c.expected, base.IsFileTrusted(kAskedPath));
    EXPECT_EQ(c.releases, g_failingReleases);
  }
  g_failure = Failure::None;
}

// ---------------------------------------------------------------- the gate


// The base library lies nowhere; the gate may only ask for the directory.
int g_verifierCalls = 0;
int g_suiteDirectoryCalls = 0;
int CountingVerifier(const wchar_t*, VERIFYINFO*, int32_t*) { return ++g_verifierCalls, 0; }
std::wstring NowhereSuite() { return ++g_suiteDirectoryCalls, L"Z:\\nowhere"; }
const TRUSTPLATFORM kPlatform = {&kDriver, CountingVerifier, NowhereSuite};

void ResetGateCounters(uint32_t driverAnswer) {
  g_driverAnswer = driverAnswer;
  g_verifierCalls = 0;
  g_suiteDirectoryCalls = 0;
}

TEST_F(BaseLibraryTest, GateTakesTheDriversWordWithoutAskingTheBaseLibrary) {
  for (uint32_t answer : {1u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(answer);
    ResetGateCounters(answer);
    BASEDOUBLECONFIG config = AcceptingObject();
    config.exportCount = 11;
    config.entry10Set = 1;
    config.entry10Result = 0;
    auto base = Bind(config);
    // The file need not exist: the gate never looks at it when the driver vouches.
    EXPECT_EQ(1, IsRepairLibraryTrustedBy(*base, kPlatform, L"Z:\\nowhere\\ostra505.dll"));
    BASEDOUBLELOG log = Log();
    EXPECT_EQ(0u, log.entry10Calls);
    EXPECT_EQ(0u, log.createObjectCalls);
    EXPECT_EQ(0, g_suiteDirectoryCalls);
    EXPECT_EQ(0, g_verifierCalls);
  }
}

TEST_F(BaseLibraryTest, GateWithoutTheDriverPassesTheBoundBaseLibrarysVerdictOn) {
  ResetGateCounters(0);
  BASEDOUBLECONFIG config = AcceptingObject();
  config.exportCount = 11;
  config.entry10Set = 1;
  config.entry10Result = 7;
  auto base = Bind(config);
  EXPECT_EQ(7, IsRepairLibraryTrustedBy(*base, kPlatform, kAskedPath));
  EXPECT_EQ(7, IsRepairLibraryTrustedBy(*base, kPlatform, kAskedPath));
  EXPECT_EQ(std::wstring(kAskedPath), Log().entry10Path);
  // The path is recomputed on every call, but a bound library is not checked again.
  EXPECT_EQ(2, g_suiteDirectoryCalls);
  EXPECT_EQ(0, g_verifierCalls);
}

TEST(Gate, RefusesWhenTheBaseLibraryCannotBeBoundAndDoesNotTryAgain) {
  const TRUSTPLATFORM withWinesDevice = {&PlatformSelfProtectionDevice(), CountingVerifier, NowhereSuite};
  for (const TRUSTPLATFORM* platform : {&kPlatform, &withWinesDevice}) {
    ResetGateCounters(0);
    CTamselBaseExportFuncs base;
    EXPECT_EQ(0, IsRepairLibraryTrustedBy(base, *platform, kAskedPath));
    EXPECT_EQ(0, IsRepairLibraryTrustedBy(base, *platform, kAskedPath));
    EXPECT_EQ(0, base.IsBound());
    // A missing file cannot be held open, so it is not even checked.
    EXPECT_EQ(0, g_verifierCalls);
  }
}

TEST(Gate, AnExceptionFromTheTrustObjectRefusesAndReleasesTheObjectOnce) {
  ResetGateCounters(0);
  CTestBaseLibrary base;
  base.AdoptFactory(CreateFailingObject);
  g_failure = Failure::RaiseInGetProperty;
  g_failingReleases = 0;
  EXPECT_EQ(0, IsRepairLibraryTrustedBy(base, kPlatform, kAskedPath));
  EXPECT_EQ(1, g_failingReleases);
  g_failure = Failure::None;
}

}  // namespace
