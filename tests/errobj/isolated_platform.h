// A platform table for managers under test: the real Win32 calls, with a process id that is
// not this process's (so the managers get a block, atom and mutex of their own, apart from the
// test executable's), faults to switch on, and a log of the calls that matter.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "errobj/Interface/DUZA.h"
#include "errobj/errobj_platform.h"

struct ISOLATEDFAULTS {
  bool createMutexFails = false;
  bool blockAllocationFails = false;
  bool nodeAllocationFails = false;
  bool tlsAllocFails = false;
  bool tlsSetValueFails = false;
  bool addAtomFails = false;
  bool deleteAtomFails = false;
  DWORD openThreadError = 0;  // nonzero: OpenThread fails with this error
};

struct ISOLATEDLOG {
  int waits = 0;
  int mutexReleases = 0;
  int nodeAllocations = 0;  // attempts
  std::vector<HANDLE> createdMutexes;
  std::vector<HANDLE> closedHandles;
  std::vector<void*> freedBlocks;
  std::vector<DWORD> freedTlsIndexes;
  std::vector<std::wstring> debugTexts;
};

// The faults and the log are the process's one instance; Reset() before each test. Calls from
// any thread are logged under a lock.
class CIsolatedPlatform {
 public:
  static const ERROBJPLATFORM& Table();
  static DWORD ProcessId();
  static void Reset();
  static ISOLATEDFAULTS& Faults();
  static ISOLATEDLOG Log();  // a copy, taken under the lock
};

// The atom name prefix for a process id, built independently of the facility.
std::wstring ErrObjAtomPrefix(DWORD processId);
// Every local string atom whose name starts with the prefix.
std::vector<std::wstring> AtomsWithPrefix(const std::wstring& prefix);
// Whether the manager mutex of a process id exists (some handle to it is still open).
bool ManagerMutexExists(DWORD processId);
