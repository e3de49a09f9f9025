#include "tests/launcher/redirected_machine_key.h"

CRedirectedMachineKey::CRedirectedMachineKey()
    : m_name(L"Software\\ostra505-tests\\machine-" + std::to_wstring(GetCurrentProcessId())) {
  RegCreateKeyExW(HKEY_CURRENT_USER, m_name.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                  nullptr, &m_root, nullptr);
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_root);
}

CRedirectedMachineKey::~CRedirectedMachineKey() {
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegCloseKey(m_root);
  RegDeleteTreeW(HKEY_CURRENT_USER, m_name.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ostra505-tests");
}

void CRedirectedMachineKey::CreateKey(const wchar_t* subkey) const {
  HKEY key = nullptr;
  RegCreateKeyExW(m_root, subkey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegCloseKey(key);
}

void CRedirectedMachineKey::SetRaw(const wchar_t* subkey, const wchar_t* value, DWORD type,
                                   const void* data, DWORD bytes) const {
  HKEY key = nullptr;
  RegCreateKeyExW(m_root, subkey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExW(key, value, 0, type, static_cast<const BYTE*>(data), bytes);
  RegCloseKey(key);
}

void CRedirectedMachineKey::SetString(const wchar_t* subkey, const wchar_t* value,
                                      const std::wstring& text) const {
  SetRaw(subkey, value, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}
