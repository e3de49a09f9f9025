// The error-object manager: one per module, all attached to the process's single shared block
// (ERROBJSHARED, in the process heap), which keeps one node with an error record per thread.
//
// How a module gets its manager: every module (executable or DLL) that links errobj defines
// exactly one, at namespace scope, with this exact name:
//
//     CErrObjManager g_ErrObjManager;
//
// A module with other static objects defines it after them in the same source file, so that
// it is constructed last and destroyed first (the launcher does this). A module without such
// needs (a test executable, a helper DLL) links the CMake object library errobj_module instead,
// which holds nothing but that definition. Libraries that report link errobj and define no
// manager; a module that defines none fails to link.
//
// Before the manager is constructed and after it is destroyed, the module's reports find no
// record and return THREADERROR_MEM.
#pragma once

#include <windows.h>

#include "errobj/Interface/DUZA.h"
#include "errobj/errobj_platform.h"

class CErrObjManager {
 public:
  // Attaches to the process's block, or creates and publishes it. On failure the manager is
  // absent: GetThreadErrorInfo() yields nothing and every report returns THREADERROR_MEM.
  CErrObjManager();
  // The same with other platform calls; tests use it to produce faults. The table is copied.
  explicit CErrObjManager(const ERROBJPLATFORM& platform);
  // Detaches. The last manager of the process removes the atom and frees the block with its
  // nodes; when the atom cannot be removed the block stays (its address is still published).
  // The module forgets the block either way.
  ~CErrObjManager();

  CErrObjManager(const CErrObjManager&) = delete;
  CErrObjManager& operator=(const CErrObjManager&) = delete;

  // The calling thread's node (its record is node->record), created on the thread's first
  // lookup; null when the manager is absent or no node could be had. After the first lookup
  // this is one TlsGetValue. The first lookup also frees the nodes of threads that ended.
  // Changes the thread's last error; reports put it back.
  ERROBJNODE* GetThreadErrorInfo();

  // The block this manager is attached to; null when absent.
  ERROBJSHARED* GetSharedBlock() const { return m_pShared; }

 private:
  void Attach();
  ERROBJSHARED* CreateBlock();
  void DestroyBlock(ERROBJSHARED* block);
  ERROBJNODE* FindOrCreateNode(ERROBJSHARED* block);
  ERROBJNODE* CreateNode(ERROBJSHARED* block);
  void FreeNode(ERROBJNODE* node);

  // Null first: a zero-initialised manager that has not been constructed yet is absent.
  ERROBJSHARED* m_pShared;
  ERROBJPLATFORM m_platform;
  DWORD m_processId;
  // Set while the out-of-memory report for a node runs; only read and written with the block's
  // mutex held, so no other thread can see it set.
  bool m_reportingOutOfMemory;
};

// The module's own manager; see above.
extern CErrObjManager g_ErrObjManager;

// The calling thread's node, through the module's manager.
ERROBJNODE* GetThreadErrorInfo();
