#include "errobj/errobj_manager.h"

#include <strsafe.h>

#include <cstring>

#include "errobj/errobj_atom.h"
#include "errobj/errobj_report.h"

namespace {

constexpr wchar_t kMutexGuid[] = L"1830B7BD-F7A3-4c4d-989B-C004DE465EDE";
constexpr size_t kMutexNameCch = 64;
constexpr wchar_t kManagerSourceFile[] = L"Interface\\DUZA";
constexpr wchar_t kOtherErrorText[] = L"****** 其它错误 ******\n";

bool OwnsAfterWait(DWORD wait) { return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED; }

void Unlink(ERROBJNODE* node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
}

}  // namespace

CErrObjManager::CErrObjManager() : CErrObjManager(ErrObjSystemPlatform()) {}

CErrObjManager::CErrObjManager(const ERROBJPLATFORM& platform)
    : m_pShared(nullptr),
      m_platform(platform),
      m_processId(platform.GetCurrentProcessId()),
      m_reportingOutOfMemory(false) {
  Attach();
}

// Construction holds the mutex throughout, so creating, publishing and attaching are one step
// for the whole process. A wait that finds the mutex abandoned still gives ownership, and
// attaching only reads the atom and raises the count, so it goes on.
void CErrObjManager::Attach() {
  wchar_t mutexName[kMutexNameCch];
  if (FAILED(StringCchPrintfW(mutexName, kMutexNameCch, L"%ls %u", kMutexGuid,
                              static_cast<unsigned>(m_processId)))) {
    return;
  }
  SetLastError(ERROR_SUCCESS);  // a new mutex need not clear it
  HANDLE mutex = m_platform.CreateMutexW(nullptr, TRUE, mutexName);
  if (mutex == nullptr) return;
  if (GetLastError() == ERROR_ALREADY_EXISTS &&
      !OwnsAfterWait(m_platform.WaitForSingleObject(mutex, INFINITE))) {
    m_platform.CloseHandle(mutex);
    return;
  }

  ERROBJSHARED* block = nullptr;
  const bool attached = FindErrObjBlock(m_platform, m_processId, &block);
  bool created = false;
  if (!attached) {
    block = CreateBlock();
    if (block != nullptr) {
      block->mutex = mutex;
      created = true;
    }
  }
  // Publishing is the last step that can fail, so a failed construction has published nothing.
  const bool ready = attached || (created && AddErrObjAtom(m_platform, m_processId, block));
  if (ready) {
    ++block->referenceCount;
    m_pShared = block;
  }
  m_platform.ReleaseMutex(mutex);
  if (created && !ready) {
    DestroyBlock(block);  // closes the mutex stored in it
  } else if (!created) {
    m_platform.CloseHandle(mutex);  // an attached module uses the block's handle
  }
}

// Module end is serialised by the loader and by process start and exit, so no lock is taken.
CErrObjManager::~CErrObjManager() {
  ERROBJSHARED* block = m_pShared;
  m_pShared = nullptr;
  if (block == nullptr) return;
  if (--block->referenceCount != 0) return;
  if (RemoveErrObjAtom(m_platform, m_processId, block)) DestroyBlock(block);
}

ERROBJSHARED* CErrObjManager::CreateBlock() {
  auto* block = static_cast<ERROBJSHARED*>(
      m_platform.HeapAlloc(GetProcessHeap(), 0, sizeof(ERROBJSHARED)));
  if (block == nullptr) return nullptr;
  block->mutex = nullptr;
  block->tlsIndex = TLS_OUT_OF_INDEXES;
  block->head.threadId = 0;
  memset(&block->head.record, 0, sizeof(block->head.record));
  block->head.next = &block->head;
  block->head.prev = &block->head;
  block->cursor = &block->head;
  block->referenceCount = 0;
  const DWORD tlsIndex = m_platform.TlsAlloc();
  if (tlsIndex == TLS_OUT_OF_INDEXES) {
    m_platform.HeapFree(GetProcessHeap(), 0, block);
    return nullptr;
  }
  block->tlsIndex = tlsIndex;
  return block;
}

void CErrObjManager::DestroyBlock(ERROBJSHARED* block) {
  if (block->tlsIndex != TLS_OUT_OF_INDEXES) m_platform.TlsFree(block->tlsIndex);
  if (block->mutex != nullptr) m_platform.CloseHandle(block->mutex);
  ERROBJNODE* head = &block->head;
  for (ERROBJNODE* node = head->next; node != head;) {
    ERROBJNODE* next = node->next;
    FreeNode(node);
    node = next;
  }
  head->next = head;
  head->prev = head;
  m_platform.HeapFree(GetProcessHeap(), 0, block);
}

void CErrObjManager::FreeNode(ERROBJNODE* node) {
  m_platform.HeapFree(GetProcessHeap(), 0, node);
}

// A wait that finds the mutex abandoned gives this thread ownership of a list that may have
// been left half-changed: the ownership is handed back at once and the lookup yields nothing.
ERROBJNODE* CErrObjManager::GetThreadErrorInfo() {
  ERROBJSHARED* block = m_pShared;
  if (block == nullptr) return nullptr;
  if (block->tlsIndex != TLS_OUT_OF_INDEXES) {
    auto* cached = static_cast<ERROBJNODE*>(m_platform.TlsGetValue(block->tlsIndex));
    if (cached != nullptr) return cached;
  }
  HANDLE mutex = block->mutex;
  if (mutex == nullptr) return nullptr;
  const DWORD wait = m_platform.WaitForSingleObject(mutex, INFINITE);
  if (wait != WAIT_OBJECT_0) {
    if (wait == WAIT_ABANDONED) m_platform.ReleaseMutex(mutex);
    return nullptr;
  }
  ERROBJNODE* node = FindOrCreateNode(block);
  if (node != nullptr && (block->tlsIndex == TLS_OUT_OF_INDEXES ||
                          !m_platform.TlsSetValue(block->tlsIndex, node))) {
    Unlink(node);
    FreeNode(node);
    node = nullptr;
  }
  m_platform.ReleaseMutex(mutex);
  return node;
}

// With the mutex held. The walk keeps its position in the block's cursor, so the node being
// visited may be freed. Nodes of threads that no longer exist are freed on the way.
ERROBJNODE* CErrObjManager::FindOrCreateNode(ERROBJSHARED* block) {
  if (m_reportingOutOfMemory) return nullptr;
  const DWORD self = GetCurrentThreadId();
  ERROBJNODE* head = &block->head;
  ERROBJNODE* mine = nullptr;
  for (block->cursor = head->next; block->cursor != head;) {
    ERROBJNODE* node = block->cursor;
    block->cursor = node->next;
    if (node->threadId == self) {
      mine = node;
      continue;
    }
    HANDLE thread = m_platform.OpenThread(THREAD_QUERY_INFORMATION, TRUE, node->threadId);
    if (thread != nullptr) {
      m_platform.CloseHandle(thread);
    } else if (GetLastError() == ERROR_INVALID_PARAMETER) {
      Unlink(node);
      FreeNode(node);
    } else {
      m_platform.OutputDebugStringW(kOtherErrorText);
    }
  }
  return mine != nullptr ? mine : CreateNode(block);
}

// With the mutex held. The out-of-memory report looks the thread's record up again on this
// thread (the mutex is recursive); that nested lookup yields nothing, so the report ends there
// instead of trying to allocate again and again.
ERROBJNODE* CErrObjManager::CreateNode(ERROBJSHARED* block) {
  auto* node =
      static_cast<ERROBJNODE*>(m_platform.HeapAlloc(GetProcessHeap(), 0, sizeof(ERROBJNODE)));
  if (node == nullptr) {
    m_reportingOutOfMemory = true;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    ReportSysErrorTo(*this, kManagerSourceFile, __LINE__, nullptr, L"内存空间不足");
    m_reportingOutOfMemory = false;
    return nullptr;
  }
  node->threadId = 0;
  memset(&node->record, 0, sizeof(node->record));
  ERROBJNODE* head = &block->head;
  node->next = head->next;
  node->prev = head;
  head->next->prev = node;
  head->next = node;
  node->threadId = GetCurrentThreadId();
  return node;
}

ERROBJNODE* GetThreadErrorInfo() { return g_ErrObjManager.GetThreadErrorInfo(); }
