#include "errobj/errobj_platform.h"

const ERROBJPLATFORM& ErrObjSystemPlatform() {
  static const ERROBJPLATFORM platform = {
      &::GetCurrentProcessId, &::CreateMutexW, &::WaitForSingleObject, &::ReleaseMutex,
      &::CloseHandle,         &::HeapAlloc,    &::HeapFree,            &::TlsAlloc,
      &::TlsFree,             &::TlsGetValue,  &::TlsSetValue,         &::AddAtomW,
      &::FindAtomW,           &::DeleteAtom,   &::GetAtomNameW,        &::OpenThread,
      &::OutputDebugStringW,
  };
  return platform;
}
