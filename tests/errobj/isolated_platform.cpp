#include "isolated_platform.h"

#include <cwchar>

namespace {

std::mutex g_lock;
ISOLATEDFAULTS g_faults;
ISOLATEDLOG g_log;

template <typename Change>
void Record(Change change) {
  std::lock_guard<std::mutex> hold(g_lock);
  change(g_log);
}

DWORD WINAPI FakeProcessId() { return GetCurrentProcessId() ^ 0x40000001; }

HANDLE WINAPI CreateMutexLogged(LPSECURITY_ATTRIBUTES attributes, BOOL owned, LPCWSTR name) {
  if (g_faults.createMutexFails) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  HANDLE mutex = CreateMutexW(attributes, owned, name);
  const DWORD error = GetLastError();
  Record([&](ISOLATEDLOG& log) { log.createdMutexes.push_back(mutex); });
  SetLastError(error);
  return mutex;
}

DWORD WINAPI WaitLogged(HANDLE handle, DWORD timeout) {
  Record([](ISOLATEDLOG& log) { ++log.waits; });
  return WaitForSingleObject(handle, timeout);
}

BOOL WINAPI ReleaseMutexLogged(HANDLE mutex) {
  Record([](ISOLATEDLOG& log) { ++log.mutexReleases; });
  return ReleaseMutex(mutex);
}

BOOL WINAPI CloseHandleLogged(HANDLE handle) {
  Record([&](ISOLATEDLOG& log) { log.closedHandles.push_back(handle); });
  return CloseHandle(handle);
}

LPVOID WINAPI HeapAllocFaulty(HANDLE heap, DWORD flags, SIZE_T size) {
  if (size == sizeof(ERROBJNODE)) {
    Record([](ISOLATEDLOG& log) { ++log.nodeAllocations; });
    if (g_faults.nodeAllocationFails) return nullptr;
  }
  if (size == sizeof(ERROBJSHARED) && g_faults.blockAllocationFails) return nullptr;
  return HeapAlloc(heap, flags, size);
}

BOOL WINAPI HeapFreeLogged(HANDLE heap, DWORD flags, LPVOID block) {
  Record([&](ISOLATEDLOG& log) { log.freedBlocks.push_back(block); });
  return HeapFree(heap, flags, block);
}

DWORD WINAPI TlsAllocFaulty() {
  if (g_faults.tlsAllocFails) return TLS_OUT_OF_INDEXES;
  return TlsAlloc();
}

BOOL WINAPI TlsFreeLogged(DWORD index) {
  Record([&](ISOLATEDLOG& log) { log.freedTlsIndexes.push_back(index); });
  return TlsFree(index);
}

BOOL WINAPI TlsSetValueFaulty(DWORD index, LPVOID value) {
  if (g_faults.tlsSetValueFails) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TlsSetValue(index, value);
}

ATOM WINAPI AddAtomFaulty(LPCWSTR name) {
  if (g_faults.addAtomFails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return AddAtomW(name);
}

ATOM WINAPI DeleteAtomFaulty(ATOM atom) {
  if (g_faults.deleteAtomFails) return atom;
  return DeleteAtom(atom);
}

HANDLE WINAPI OpenThreadFaulty(DWORD access, BOOL inherit, DWORD threadId) {
  if (g_faults.openThreadError != 0) {
    SetLastError(g_faults.openThreadError);
    return nullptr;
  }
  return OpenThread(access, inherit, threadId);
}

void WINAPI OutputDebugStringLogged(LPCWSTR text) {
  Record([&](ISOLATEDLOG& log) { log.debugTexts.push_back(text); });
}

}  // namespace

const ERROBJPLATFORM& CIsolatedPlatform::Table() {
  static const ERROBJPLATFORM table = {
      &FakeProcessId,    &CreateMutexLogged, &WaitLogged,         &ReleaseMutexLogged,
      &CloseHandleLogged, &HeapAllocFaulty,  &HeapFreeLogged,     &TlsAllocFaulty,
      &TlsFreeLogged,    &TlsGetValue,       &TlsSetValueFaulty,  &AddAtomFaulty,
      &FindAtomW,        &DeleteAtomFaulty,  &GetAtomNameW,       &OpenThreadFaulty,
      &OutputDebugStringLogged,
  };
  return table;
}

DWORD CIsolatedPlatform::ProcessId() { return FakeProcessId(); }

void CIsolatedPlatform::Reset() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_faults = ISOLATEDFAULTS();
  g_log = ISOLATEDLOG();
}

ISOLATEDFAULTS& CIsolatedPlatform::Faults() { return g_faults; }

ISOLATEDLOG CIsolatedPlatform::Log() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_log;
}

std::wstring ErrObjAtomPrefix(DWORD processId) {
  return L"{A0972F10-452C-4cd1-904E-B50E394EDE34}-" +
         std::to_wstring(static_cast<int>(processId)) +
         L"-1830B7BD-F7A3-4c4d-989B-C004DE465EDE:";
}

std::vector<std::wstring> AtomsWithPrefix(const std::wstring& prefix) {
  std::vector<std::wstring> names;
  wchar_t name[260];
  for (UINT atom = 0xC000; atom <= 0xFFFF; ++atom) {
    const UINT length = GetAtomNameW(static_cast<ATOM>(atom), name, 260);
    if (length != 0 && std::wstring(name, length).compare(0, prefix.size(), prefix) == 0) {
      names.emplace_back(name, length);
    }
  }
  return names;
}

bool ManagerMutexExists(DWORD processId) {
  const std::wstring name =
      L"1830B7BD-F7A3-4c4d-989B-C004DE465EDE " + std::to_wstring(processId);
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
  if (mutex == nullptr) return false;
  CloseHandle(mutex);
  return true;
}
