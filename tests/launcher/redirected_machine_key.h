// Points HKEY_LOCAL_MACHINE of this process at a fresh, empty key for the length of a scope,
// so a test can lay out the machine registry it needs without touching the real one.
#pragma once

#include <windows.h>

#include <string>

class CRedirectedMachineKey {
 public:
  CRedirectedMachineKey();
  ~CRedirectedMachineKey();
  CRedirectedMachineKey(const CRedirectedMachineKey&) = delete;
  CRedirectedMachineKey& operator=(const CRedirectedMachineKey&) = delete;

  // Creates subkey under the redirected root and stores value there with raw bytes.
  void SetRaw(const wchar_t* subkey, const wchar_t* value, DWORD type, const void* data, DWORD bytes) const;
  void SetString(const wchar_t* subkey, const wchar_t* value, const std::wstring& text) const;
  void CreateKey(const wchar_t* subkey) const;

 private:
  std::wstring m_name;
  HKEY m_root = nullptr;
};
