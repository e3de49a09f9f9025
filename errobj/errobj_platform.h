// The platform calls the error-object manager makes, gathered in one table so that tests can
// produce faults Wine cannot (no heap block, no TLS slot, atom refused, ...). Production code
// always uses ErrObjSystemPlatform(); a table is handed to a manager once, at construction.
#pragma once

#include <windows.h>

struct ERROBJPLATFORM {
  DWORD(WINAPI* GetCurrentProcessId)();
  HANDLE(WINAPI* CreateMutexW)(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR);
  DWORD(WINAPI* WaitForSingleObject)(HANDLE, DWORD);
  BOOL(WINAPI* ReleaseMutex)(HANDLE);
  BOOL(WINAPI* CloseHandle)(HANDLE);
  LPVOID(WINAPI* HeapAlloc)(HANDLE, DWORD, SIZE_T);
  BOOL(WINAPI* HeapFree)(HANDLE, DWORD, LPVOID);
  DWORD(WINAPI* TlsAlloc)();
  BOOL(WINAPI* TlsFree)(DWORD);
  LPVOID(WINAPI* TlsGetValue)(DWORD);
  BOOL(WINAPI* TlsSetValue)(DWORD, LPVOID);
  ATOM(WINAPI* AddAtomW)(LPCWSTR);
  ATOM(WINAPI* FindAtomW)(LPCWSTR);
  ATOM(WINAPI* DeleteAtom)(ATOM);
  UINT(WINAPI* GetAtomNameW)(ATOM, LPWSTR, int);
  HANDLE(WINAPI* OpenThread)(DWORD, BOOL, DWORD);
  void(WINAPI* OutputDebugStringW)(LPCWSTR);
};

// The real Win32 functions.
const ERROBJPLATFORM& ErrObjSystemPlatform();
