// The caller's error state (last Win32 error and errno), which reporting must leave as it was.
#pragma once

#include <windows.h>

#include <cerrno>

#include "errobj/Interface/DUZA.h"
#include "errobj/errobj_manager.h"

struct ERRORSTATE {
  DWORD lastError;
  int crtErrno;
};

inline ERRORSTATE SaveErrorState() { return ERRORSTATE{GetLastError(), errno}; }

inline void RestoreErrorState(const ERRORSTATE& state) {
  errno = state.crtErrno;
  SetLastError(state.lastError);
}

// The calling thread's record, or null. The lookup's TLS and mutex calls change the last
// error; the caller's state is put back before the record is used.
inline THREADERRORINFO* LookUpThreadRecord(CErrObjManager& manager) {
  const ERRORSTATE caller = SaveErrorState();
  ERROBJNODE* node = manager.GetThreadErrorInfo();
  RestoreErrorState(caller);
  return node != nullptr ? &node->record : nullptr;
}
