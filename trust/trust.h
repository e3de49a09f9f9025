// The repair-library trust gate: the self-protection driver may vouch for the process;
// otherwise the bound suite base library decides about the file.
//
// Nothing here reports an error; every failure is a 0 ("not trusted") result.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

#include "signcheck/signcheck.h"
#include "trust/export_cast.h"
#include "trust/library_call.h"

// ---------------------------------------------------------------- self-protection driver

constexpr const wchar_t* SELFPROTECTION_DEVICE_NAME = L"\\\\.\\TamselSelfProtection";
constexpr DWORD SELFPROTECTION_IOCTL_QUERY =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x813, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(SELFPROTECTION_IOCTL_QUERY == 0x0022204C, "driver control code");

// The three device calls the query makes. Tests put a driver behind them; the product uses
// PlatformSelfProtectionDevice().
struct SELFPROTECTIONDEVICE {
  HANDLE(WINAPI* open)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* control)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* close)(HANDLE);
};

// CreateFileW, DeviceIoControl and CloseHandle.
const SELFPROTECTIONDEVICE& PlatformSelfProtectionDevice();

// Asks the driver whether it vouches for the process: opens the device afresh, sends the
// 4-byte identifier, closes the device. Returns the driver's 4-byte answer when the request
// succeeded (nonzero = vouches), otherwise 0 (no driver, access refused, request rejected).
uint32_t QuerySelfProtectionOn(const SELFPROTECTIONDEVICE& device, uint32_t processId);
uint32_t QuerySelfProtection(uint32_t processId);

// ---------------------------------------------------------------- suite libraries

constexpr uint32_t INITLIBS_SLOT_COUNT = 256;

// Filled by a suite library's "InitLibs": dwCount is the slot count going in and the number of
// filled entries coming out.
struct INITLIBS_TABLE {
  uint32_t dwCount;
  FARPROC pfnEntries[INITLIBS_SLOT_COUNT];
};
#if !defined(_WIN64)
static_assert(sizeof(INITLIBS_TABLE) == 1028, "INITLIBS_TABLE layout");
#endif

// "CreateObject": interface identifier in, object pointer out; the result is not used.
typedef int32_t(WINAPI* CREATEOBJECTFN)(const GUID* interfaceId, void** object);

// ---------------------------------------------------------------- checks before a load

// The file verifier, VerifyFileSignature in the product.
typedef int (*VERIFYFILEFN)(const wchar_t* path, VERIFYINFO* info, int32_t* level);

// Everything the binding and the gate reach outside the process through. The product uses
// PlatformTrust(); tests bring a driver, a verifier or a suite directory of their own.
struct TRUSTPLATFORM {
  const SELFPROTECTIONDEVICE* device;
  VERIFYFILEFN verifyFile;
  std::wstring (*suiteDirectory)();
};

// The driver, VerifyFileSignature and GetSuiteDirectory.
const TRUSTPLATFORM& PlatformTrust();

// The name lookup of an already loaded module works with this many characters.
constexpr DWORD MODULE_NAME_CAPACITY = 520;
constexpr DWORD LIBRARY_PATH_CAPACITY = MAX_PATH;
constexpr int32_t SIGKIND_UNKNOWN = -1;

// Asks the verifier about the file with a zeroed VERIFYINFO whose 8192-byte work buffer lives
// in this call's frame. Returns 1 with *kind set when the verdict is TRUST_EXPIRED or
// TRUST_VALID, else 0 with *kind left at SIGKIND_UNKNOWN.
int CheckLibrarySignature(const wchar_t* path, int32_t* kind, VERIFYFILEFN verifyFile);

// A module handle for the library at path, or null when it may not or cannot be loaded:
// - a module already loaded under path is loaded again by its full file name, unchecked;
// - otherwise path is made a full path once, and that one file is loaded when the driver
//   vouches, or else when it is held open (see CHeldFile) from before its signature check
//   through the load and the check accepts a signature other than the signature resource.
HMODULE LoadVerifiedLibrary(const wchar_t* path, const TRUSTPLATFORM& platform);

// ---------------------------------------------------------------- suite libraries

typedef int32_t(WINAPI* INITLIBSFN)(INITLIBS_TABLE* table);

// Binds one suite library into the process (once, after its signature check) and keeps its
// entry table. Each library class derives from the template instantiated with itself; the
// template holds all state, and the destructor releases a bound library exactly once.
template <typename TLibrary>
class CTamselPublicDLLHelper {
 public:
  CTamselPublicDLLHelper() : m_hModule(nullptr), m_pfnCreateObject(nullptr), m_bTried(0), m_bBound(0) {
    ZeroMemory(&m_exports, sizeof(m_exports));
    m_exports.dwCount = INITLIBS_SLOT_COUNT;
    InitializeCriticalSection(&m_cs);
  }
  virtual ~CTamselPublicDLLHelper() {
    DeleteCriticalSection(&m_cs);
    if (m_hModule != nullptr) {
      FreeLibrary(m_hModule);
    }
  }
  CTamselPublicDLLHelper(const CTamselPublicDLLHelper&) = delete;
  CTamselPublicDLLHelper& operator=(const CTamselPublicDLLHelper&) = delete;

  // Binds the library at path on the first call and returns the outcome (1 bound, 0 not);
  // every later call returns that first outcome without touching path or the library. The
  // whole attempt, signature check and "InitLibs" included, runs under the object's lock.
  LONG EnsureBound(const wchar_t* path, const TRUSTPLATFORM& platform) {
    if (m_bTried.load(std::memory_order_acquire) != 0) {
      return m_bBound;
    }
    CLock lock(m_cs);
    if (m_bTried.load(std::memory_order_relaxed) == 0) {
      m_bBound = BindLibrary(path, platform);
      // Released after m_bBound, so an unlocked reader that sees m_bTried sees the outcome.
      m_bTried.store(1, std::memory_order_release);
    }
    return m_bBound;
  }

  // Nonzero once a binding attempt has bound the library.
  LONG IsBound() const { return m_bTried.load(std::memory_order_acquire) != 0 ? m_bBound : 0; }

 protected:
  // Loads through LoadVerifiedLibrary and performs the entry protocol: bound when "InitLibs"
  // returns 0, or, without "InitLibs", when "CreateObject" exists. A library that fails the
  // protocol is released at once.
  LONG BindLibrary(const wchar_t* path, const TRUSTPLATFORM& platform) {
    HMODULE module = LoadVerifiedLibrary(path, platform);
    if (module == nullptr) {
      return 0;
    }
    FARPROC initLibs = GetProcAddress(module, "InitLibs");
    m_pfnCreateObject = ExportAs<CREATEOBJECTFN>(GetProcAddress(module, "CreateObject"));
    bool bound = false;
    if (initLibs != nullptr) {
      m_exports.dwCount = INITLIBS_SLOT_COUNT;
      LONG result = 1;
      bound = CallIntoLibrary([&] { result = ExportAs<INITLIBSFN>(initLibs)(&m_exports); }) &&
              result == 0;
    } else {
      bound = m_pfnCreateObject != nullptr;
    }
    if (!bound) {
      // Nothing may point into the released module.
      FreeLibrary(module);
      m_hModule = nullptr;
      m_pfnCreateObject = nullptr;
      return 0;
    }
    m_hModule = module;
    return 1;
  }

  HMODULE m_hModule;                  // null until bound
  CREATEOBJECTFN m_pfnCreateObject;   // meaningful only while m_hModule is set
  INITLIBS_TABLE m_exports;
  CRITICAL_SECTION m_cs;              // serialises the one binding attempt
  std::atomic<LONG> m_bTried;         // set for good once an attempt has finished
  LONG m_bBound;                      // its outcome; written before m_bTried is published

 private:
  class CLock {
   public:
    explicit CLock(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    ~CLock() { LeaveCriticalSection(&m_cs); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

   private:
    CRITICAL_SECTION& m_cs;
  };
};

static_assert(sizeof(std::atomic<LONG>) == sizeof(LONG) && std::atomic<LONG>::is_always_lock_free,
              "the tried flag keeps the size of a plain 32-bit flag");

// The trust object's interface identifier and the positions of the methods used, counted from
// 0 in its method table. Every method is stdcall and takes the object first.
constexpr GUID IID_IFileTrustInfo = {
    0x6066F80A, 0x4B6D, 0x4D49, {0xB5, 0xDC, 0xDB, 0x9D, 0x1D, 0xD0, 0x72, 0x53}};
constexpr size_t FILETRUST_SLOT_RELEASE = 2;       // ULONG (object)
constexpr size_t FILETRUST_SLOT_OPEN = 3;          // int32 (object, path, 0), nonzero = opened
constexpr size_t FILETRUST_SLOT_GETPROPERTY = 21;  // int32 (object, number, uint32* value)

// The base library's direct trust entry: entry 10 of its table, used when dwCount > 10.
constexpr uint32_t BASE_DIRECT_TRUST_ENTRY = 10;
typedef int32_t(WINAPI* DIRECTTRUSTFN)(const wchar_t* path, int32_t reserved);

// The suite base library, TamselBase.dll.
class CTamselBaseExportFuncs : public CTamselPublicDLLHelper<CTamselBaseExportFuncs> {
 public:
  // Asks the bound library about a file: the direct entry's result unchanged when the table
  // has one, otherwise 1 when the trust object accepts the file and 0 when it does not (or no
  // object is had). The object is released exactly once, also when an exception passes.
  int32_t IsFileTrusted(const wchar_t* path);
};

// The suite's configuration and utility libraries: constructed and destroyed, never bound.
class CTamselConfExportFuncs : public CTamselPublicDLLHelper<CTamselConfExportFuncs> {};
class CTamselUtilExportFuncs : public CTamselPublicDLLHelper<CTamselUtilExportFuncs> {};

// The process's base-library object, defined by the executable together with the other
// static library objects, in their fixed construction order.
extern CTamselBaseExportFuncs g_baseExportFuncs;

// ---------------------------------------------------------------- the gate

constexpr const wchar_t* BASE_LIBRARY_NAME = L"TamselBase.dll";

// Decides whether the repair library at path (a full path) may be loaded: 1 when the driver
// vouches (nothing else is touched); else binds base to "TamselBase.dll" in the suite directory
// (once per process) and returns its verdict about path; 0 when it cannot be bound.
// No exception leaves the gate; one that escapes the base library counts as 0.
int32_t IsRepairLibraryTrustedBy(CTamselBaseExportFuncs& base, const TRUSTPLATFORM& platform,
                                 const wchar_t* path);

// The gate of the process: PlatformTrust() and g_baseExportFuncs.
int32_t IsRepairLibraryTrusted(const wchar_t* path);
