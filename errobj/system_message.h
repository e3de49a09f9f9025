// The system's text for an error code, as a system-error report appends it.
#pragma once

#include <windows.h>

// The message module for a Win32 code reported without a message source: wininet.dll for
// 12000 to 12175, mqutil.dll for facility 14, netmsg.dll for 2100 to 2999; null otherwise.
const wchar_t* ChooseMessageModule(DWORD code);

// The first line of the system's text for a nonzero Win32 code. The module, when given, is
// searched first. It is mapped as data, never run: a bare name is taken from the system
// directory only, so a planted DLL of the same name beside the program is not loaded.
// Without a text for the code the text is "无系统错误信息". Owns the message buffer and the
// module until destruction.
class CSystemMessage {
 public:
  CSystemMessage(DWORD code, const wchar_t* moduleName);
  ~CSystemMessage();
  CSystemMessage(const CSystemMessage&) = delete;
  CSystemMessage& operator=(const CSystemMessage&) = delete;

  const wchar_t* Text() const { return m_text; }

 private:
  HMODULE m_module;
  wchar_t* m_buffer;
  const wchar_t* m_text;
};

// The runtime library's text for a nonzero errno, converted from the ANSI code page, in a
// buffer of cch characters; "无系统错误信息" when it cannot be had.
void GetCrtErrorText(int crtErrno, wchar_t* text, size_t cch);

extern const wchar_t ERRTEXT_NO_SYSTEM_TEXT[];  // "无系统错误信息"
extern const wchar_t ERRTEXT_SUCCESS[];         // "操作成功完成", the design's text for code 0
