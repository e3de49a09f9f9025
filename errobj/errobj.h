// Process-wide diagnostics: every thread's last failure, kept in one error record per thread
// that all modules of the process carrying this facility share.
//
// Reporting never disturbs the caller's error state: after a report, GetLastError() and errno
// read what they did before it (a system-error report sets them to the recorded code, which is
// that same value). Callers ignore the result and return their own failure value.
//
// This header is free of windows.h so that byte-format code can report through it.
#pragma once

#include <stdint.h>

// The error category stored in a record.
enum THREADERRORTYPE : int32_t {
  THREADERROR_NON = 0,  // nothing recorded
  THREADERROR_SYS = 1,  // Win32 error; the code is the thread's last error
  THREADERROR_CRT = 2,  // runtime-library error; the code is errno
  THREADERROR_APP = 3,  // application error; the code is the caller's
  THREADERROR_EXP = 4,  // defined for peers; never set here
  THREADERROR_MEM = 5,  // no record could be had for the thread
};

// Records a system error: the code is the thread's last Win32 error at the call (errno when
// messageSource is exactly L"__crt"). The message is the formatted caller text, "--" and the
// system's text for the code. messageSource null: the message module is chosen by the code.
// Returns THREADERROR_SYS or THREADERROR_CRT, or THREADERROR_MEM when no record exists.
THREADERRORTYPE ReportSysError(const wchar_t* sourceFile, int32_t line,
                               const wchar_t* messageSource, const wchar_t* format, ...);

// Records an application error with the caller's code and formatted text.
// Returns THREADERROR_APP, or THREADERROR_MEM when no record exists.
THREADERRORTYPE ReportAppError(const wchar_t* sourceFile, int32_t line, uint32_t code,
                               const wchar_t* format, ...);

// Renders the calling thread's record as one line and stores a pointer to it in *text (when
// text is not null). The line lives in the record until the thread's next report or call.
// Returns the record's code; without a record, 1 and a constant fallback line.
uint32_t FormatThreadError(const wchar_t** text);

// Optional observer, handed the record line after each report on the reporting thread.
typedef void (*ERROROBSERVER)(uint32_t code, const wchar_t* text);
void SetErrorObserver(ERROROBSERVER observer);

// Reports in the style of the callers: the reporting source file and line are implicit.
#define REPORT_SYS_ERROR(sourceFile, ...) ReportSysError(sourceFile, __LINE__, nullptr, __VA_ARGS__)
#define REPORT_APP_ERROR(sourceFile, code, ...) ReportAppError(sourceFile, __LINE__, code, __VA_ARGS__)
