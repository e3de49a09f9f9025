#include "errobj/system_message.h"

#include <strsafe.h>

#include <cstring>
#include <cwchar>

const wchar_t ERRTEXT_NO_SYSTEM_TEXT[] = L"无系统错误信息";
const wchar_t ERRTEXT_SUCCESS[] = L"操作成功完成";

namespace {

constexpr DWORD kFirstInternetCode = 12000;
constexpr DWORD kLastInternetCode = 12175;
constexpr DWORD kFacilityMask = 0x1FFF0000;
constexpr DWORD kMessageQueueFacility = 0x000E0000;
constexpr DWORD kFirstNetworkCode = 2100;
constexpr DWORD kLastNetworkCode = 2999;

// Maps the module as an image resource, never runs it, and looks for a bare name only in the
// system directory (the program's own folder, often a download folder, comes first otherwise).
constexpr DWORD kMessageModuleLoadFlags =
    LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_SEARCH_SYSTEM32;

constexpr DWORD kLookupFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

}  // namespace

const wchar_t* ChooseMessageModule(DWORD code) {
  if (code >= kFirstInternetCode && code <= kLastInternetCode) return L"wininet.dll";
  if ((code & kFacilityMask) == kMessageQueueFacility) return L"mqutil.dll";
  if (code >= kFirstNetworkCode && code <= kLastNetworkCode) return L"netmsg.dll";
  return nullptr;
}

CSystemMessage::CSystemMessage(DWORD code, const wchar_t* moduleName)
    : m_module(nullptr), m_buffer(nullptr), m_text(ERRTEXT_NO_SYSTEM_TEXT) {
  if (moduleName != nullptr) {
    m_module = LoadLibraryExW(moduleName, nullptr, kMessageModuleLoadFlags);
  }
  const DWORD flags = kLookupFlags | (m_module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : 0);
  if (FormatMessageW(flags, m_module, code, 0, reinterpret_cast<LPWSTR>(&m_buffer), 0,
                     nullptr) != 0 &&
      m_buffer != nullptr) {
    m_buffer[wcscspn(m_buffer, L"\r\n")] = L'\0';
    m_text = m_buffer;
  }
}

CSystemMessage::~CSystemMessage() {
  if (m_buffer != nullptr) LocalFree(m_buffer);
  if (m_module != nullptr) FreeLibrary(m_module);
}

void GetCrtErrorText(int crtErrno, wchar_t* text, size_t cch) {
  const char* ansi = strerror(crtErrno);
  if (ansi == nullptr ||
      MultiByteToWideChar(CP_ACP, 0, ansi, -1, text, static_cast<int>(cch)) == 0) {
    StringCchCopyW(text, cch, ERRTEXT_NO_SYSTEM_TEXT);
  }
}
