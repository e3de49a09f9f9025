// Process-wide diagnostics: every thread's last failure, kept in one error record per thread
// that all modules of the process carrying this facility share.
//
// Reporting never disturbs the caller's error state: after a report, GetLastError() and errno
// read what they did before it (a system-error report sets them to the recorded code, which is
// that same value). Callers ignore the result and return their own failure value.
//
// Records live in the process-wide error-object block; a module reaches it through its own
// manager, which every module linking errobj defines once (see errobj_manager.h). Without a
// manager, or when no record can be had, reports return THREADERROR_MEM and change nothing.
//
// Formats are printf-style and wide: write %ls for a wide string and %hs for a narrow one
// (a plain %s may mean either, depending on the runtime's printf).
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
// system's text for the code, at most 255 characters; a caller text over 255 characters leaves
// it empty, and any cut sets the record's flag. Code 0 gives the text "操作成功完成".
// messageSource null: the message module is chosen by the code (wininet.dll, mqutil.dll,
// netmsg.dll); another name: that module. The module is named in the record and searched
// before the system's table; it is mapped as data from the system directory, never run.
// sourceFile is recorded after its last backslash, cut to 31 characters.
// Returns THREADERROR_SYS or THREADERROR_CRT, or THREADERROR_MEM when no record exists.
THREADERRORTYPE ReportSysError(const wchar_t* sourceFile, int32_t line,
                               const wchar_t* messageSource, const wchar_t* format, ...);

// Records an application error with the caller's code and formatted text (its first 255
// characters; a longer text sets the record's flag). Returns THREADERROR_APP, or
// THREADERROR_MEM when no record exists (the observer is still handed the fallback line).
THREADERRORTYPE ReportAppError(const wchar_t* sourceFile, int32_t line, uint32_t code,
                               const wchar_t* format, ...);

// Renders the calling thread's record as one line and stores a pointer to it in *text (when
// text is not null), at most 383 characters:
//   flag|yyyy-mm-dd|hh:mm:ss|source file|line|message source|category name|code|message
// with the UTC time, the category as "NON" "SYS" "CRT" "APP" "EXP" "MEM" and the code in
// signed decimal. Every "|" in the record's message is replaced by a space first (in the
// record too). The line lives in the record until the thread's next report or call.
// Returns the record's code; without a record, 1 and a constant fallback line.
uint32_t FormatThreadError(const wchar_t** text);

// Optional observer, handed the code and the record line after each report, on the reporting
// thread and inside the report; the caller's error state is put back after it. The slot
// belongs to the module (each module linking errobj has its own) and starts empty; null
// empties it. An exception thrown by the observer ends in the report.
typedef void (*ERROROBSERVER)(uint32_t code, const wchar_t* text);
void SetErrorObserver(ERROROBSERVER observer);

// Reports in the style of the callers: the reporting source file and line are implicit.
#define REPORT_SYS_ERROR(sourceFile, ...) ReportSysError(sourceFile, __LINE__, nullptr, __VA_ARGS__)
#define REPORT_APP_ERROR(sourceFile, code, ...) ReportAppError(sourceFile, __LINE__, code, __VA_ARGS__)
