// A self-protection device for the tests: opens, answers g_driverAnswer and closes.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "trust/trust.h"

inline uint32_t g_driverAnswer = 0;

inline HANDLE WINAPI DriverOpen(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  return reinterpret_cast<HANDLE>(0x5150);
}
inline BOOL WINAPI DriverControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID out, DWORD, LPDWORD,
                                 LPOVERLAPPED) {
  *static_cast<uint32_t*>(out) = g_driverAnswer;
  return TRUE;
}
inline BOOL WINAPI DriverClose(HANDLE) { return TRUE; }
inline const SELFPROTECTIONDEVICE kDriver = {DriverOpen, DriverControl, DriverClose};
