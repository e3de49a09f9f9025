// The demonstration libraries note what they do, one UTF-8 line each, in the file named by the
// environment variable below, so that the demonstration can tell it in plain words.
#pragma once

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

constexpr const wchar_t* DEMO_LOG_VARIABLE = L"OSTRA505_DEMO_LOG";
constexpr size_t DEMO_LINE_CHARS = 1024;

// Appends one formatted line; does nothing when the variable is not set.
inline void DemoNote(const wchar_t* format, ...) {
  wchar_t logPath[MAX_PATH] = {};
  DWORD logLength = GetEnvironmentVariableW(DEMO_LOG_VARIABLE, logPath, MAX_PATH);
  if (logLength == 0 || logLength >= MAX_PATH) {
    return;
  }
  wchar_t line[DEMO_LINE_CHARS] = {};
  va_list arguments;
  va_start(arguments, format);
  int length = vswprintf(line, DEMO_LINE_CHARS - 1, format, arguments);
  va_end(arguments);
  if (length < 0) {
    return;
  }
  line[length] = L'\n';
  char utf8[4 * DEMO_LINE_CHARS] = {};
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, length + 1, utf8, sizeof(utf8), nullptr, nullptr);
  HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, utf8, static_cast<DWORD>(bytes), &written, nullptr);
    CloseHandle(log);
  }
}
