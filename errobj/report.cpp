// The two reporting operations: each fills the calling thread's record and leaves the caller's
// last error and errno as they were.
#include <strsafe.h>

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "errobj/errobj.h"
#include "errobj/errobj_manager.h"
#include "errobj/errobj_report.h"
#include "errobj/error_state.h"
#include "errobj/observer.h"
#include "errobj/system_message.h"

namespace {

constexpr wchar_t kCrtMessageSource[] = L"__crt";
constexpr wchar_t kTextSeparator[] = L"--";
constexpr size_t kTextSeparatorLength = 2;
constexpr size_t kMessageMaxLength = ERRINFO_MESSAGE_CCH - 1;
// The caller's text is formatted into the record's text buffer with room for the message.
constexpr size_t kCallerTextCch = ERRINFO_MESSAGE_CCH;
constexpr size_t kCrtTextCch = 512;

void ResetRecord(THREADERRORINFO* record, const wchar_t* sourceFile, int32_t line) {
  record->flag = 0;
  record->code = 0;
  record->category = THREADERROR_NON;
  record->messageSource[0] = L'\0';
  record->sourceFile[0] = L'\0';
  record->message[0] = L'\0';
  SYSTEMTIME& t = record->time;
  t.wYear = t.wMonth = t.wDay = t.wHour = t.wMinute = t.wSecond = 0;

  if (sourceFile == nullptr) sourceFile = L"";
  const wchar_t* lastBackslash = wcsrchr(sourceFile, L'\\');
  const wchar_t* fileName = lastBackslash != nullptr ? lastBackslash + 1 : sourceFile;
  StringCchCopyW(record->sourceFile, ERRINFO_SOURCE_FILE_CCH, fileName);  // cut to 31
  record->line = line;
}

// True when the caller's text fit; otherwise the buffer holds its first characters.
bool FormatCallerText(THREADERRORINFO* record, const wchar_t* format, va_list args) {
  return SUCCEEDED(
      StringCchVPrintfW(record->textBuffer, kCallerTextCch, format != nullptr ? format : L"", args));
}

// The caller's text, "--" and as much of the system text as fits; flag 1 for any cut.
void ComposeSystemMessage(THREADERRORINFO* record, const wchar_t* format, va_list args,
                          const wchar_t* systemText) {
  if (!FormatCallerText(record, format, args)) {
    record->flag = 1;
    return;
  }
  StringCchCopyW(record->message, ERRINFO_MESSAGE_CCH, record->textBuffer);
  size_t length = wcslen(record->message);
  size_t room = kMessageMaxLength - length;
  if (room < kTextSeparatorLength) {
    record->flag = 1;
    return;
  }
  wmemcpy(record->message + length, kTextSeparator, kTextSeparatorLength);
  length += kTextSeparatorLength;
  room -= kTextSeparatorLength;
  if (room == 0) {
    record->message[length] = L'\0';
    record->flag = 1;
    return;
  }
  const size_t systemLength = wcslen(systemText);
  const size_t taken = systemLength < room ? systemLength : room;
  wmemcpy(record->message + length, systemText, taken);
  record->message[length + taken] = L'\0';
  if (systemLength > room) record->flag = 1;
}

THREADERRORTYPE ReportSysErrorV(CErrObjManager& manager, const wchar_t* sourceFile, int32_t line,
                                const wchar_t* messageSource, const wchar_t* format,
                                va_list args) {
  const ERRORSTATE caller = SaveErrorState();
  THREADERRORINFO* record = LookUpThreadRecord(manager);
  if (record == nullptr) return THREADERROR_MEM;
  ResetRecord(record, sourceFile, line);

  const bool crt = messageSource != nullptr && wcscmp(messageSource, kCrtMessageSource) == 0;
  const THREADERRORTYPE category = crt ? THREADERROR_CRT : THREADERROR_SYS;
  record->category = category;
  record->code = crt ? static_cast<uint32_t>(caller.crtErrno) : caller.lastError;
  if (record->code == 0) {
    ComposeSystemMessage(record, format, args, ERRTEXT_SUCCESS);
  } else if (crt) {
    wchar_t crtText[kCrtTextCch];
    GetCrtErrorText(caller.crtErrno, crtText, kCrtTextCch);
    ComposeSystemMessage(record, format, args, crtText);
  } else {
    const wchar_t* module =
        messageSource != nullptr ? messageSource : ChooseMessageModule(caller.lastError);
    if (module != nullptr) {
      StringCchCopyW(record->messageSource, ERRINFO_MESSAGE_SOURCE_CCH, module);  // cut to 31
    }
    CSystemMessage systemMessage(caller.lastError, module);
    ComposeSystemMessage(record, format, args, systemMessage.Text());
  }
  GetSystemTime(&record->time);

  // The recorded code is the caller's own last error (or errno), so putting the caller's state
  // back sets the thread's error state to the recorded code.
  RestoreErrorState(caller);
  NotifyErrorObserver(manager);
  RestoreErrorState(caller);
  return category;
}

THREADERRORTYPE ReportAppErrorV(CErrObjManager& manager, const wchar_t* sourceFile, int32_t line,
                                uint32_t code, const wchar_t* format, va_list args) {
  const ERRORSTATE caller = SaveErrorState();
  THREADERRORINFO* record = LookUpThreadRecord(manager);
  THREADERRORTYPE result = THREADERROR_MEM;
  if (record != nullptr) {
    ResetRecord(record, sourceFile, line);
    record->category = THREADERROR_APP;
    record->code = code;
    if (!FormatCallerText(record, format, args)) record->flag = 1;  // its first 255 stand
    StringCchCopyW(record->message, ERRINFO_MESSAGE_CCH, record->textBuffer);
    GetSystemTime(&record->time);
    result = THREADERROR_APP;
  }
  RestoreErrorState(caller);
  NotifyErrorObserver(manager);  // without a record: the fallback line
  RestoreErrorState(caller);
  return result;
}

}  // namespace

THREADERRORTYPE ReportSysErrorTo(CErrObjManager& manager, const wchar_t* sourceFile,
                                 int32_t line, const wchar_t* messageSource,
                                 const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const THREADERRORTYPE result =
      ReportSysErrorV(manager, sourceFile, line, messageSource, format, args);
  va_end(args);
  return result;
}

THREADERRORTYPE ReportAppErrorTo(CErrObjManager& manager, const wchar_t* sourceFile,
                                 int32_t line, uint32_t code, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const THREADERRORTYPE result = ReportAppErrorV(manager, sourceFile, line, code, format, args);
  va_end(args);
  return result;
}

THREADERRORTYPE ReportSysError(const wchar_t* sourceFile, int32_t line,
                               const wchar_t* messageSource, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const THREADERRORTYPE result =
      ReportSysErrorV(g_ErrObjManager, sourceFile, line, messageSource, format, args);
  va_end(args);
  return result;
}

THREADERRORTYPE ReportAppError(const wchar_t* sourceFile, int32_t line, uint32_t code,
                               const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const THREADERRORTYPE result =
      ReportAppErrorV(g_ErrObjManager, sourceFile, line, code, format, args);
  va_end(args);
  return result;
}
