// The record line: "flag|date|time|source file|line|message source|category|code|message".
#include <strsafe.h>

#include "errobj/errobj.h"
#include "errobj/errobj_manager.h"
#include "errobj/errobj_report.h"
#include "errobj/error_state.h"

namespace {

constexpr const wchar_t* kCategoryNames[] = {L"NON", L"SYS", L"CRT", L"APP", L"EXP", L"MEM"};
constexpr int32_t kCategoryCount = sizeof(kCategoryNames) / sizeof(kCategoryNames[0]);
// Printed for a category no module of this facility writes.
constexpr wchar_t kUnknownCategoryName[] = L"???";

constexpr uint32_t kFallbackCode = 1;
constexpr wchar_t kFallbackText[] =
    L"0|2008-10-08|15:04:02|ROVevAvu|1||MEM|1|获取错误对象的TLS地址失败";

const wchar_t* CategoryName(int32_t category) {
  return category >= 0 && category < kCategoryCount ? kCategoryNames[category]
                                                     : kUnknownCategoryName;
}

// Records are written by other modules too; a missing terminator must not run the line past
// its field.
void TerminateTextFields(THREADERRORINFO* record) {
  record->messageSource[ERRINFO_MESSAGE_SOURCE_CCH - 1] = L'\0';
  record->sourceFile[ERRINFO_SOURCE_FILE_CCH - 1] = L'\0';
  record->message[ERRINFO_MESSAGE_CCH - 1] = L'\0';
}

}  // namespace

uint32_t FormatThreadErrorOf(CErrObjManager& manager, const wchar_t** text) {
  THREADERRORINFO* record = LookUpThreadRecord(manager);
  if (record == nullptr) {
    if (text != nullptr) *text = kFallbackText;
    return kFallbackCode;
  }
  if (text == nullptr) return record->code;

  TerminateTextFields(record);
  for (wchar_t* c = record->message; *c != L'\0'; ++c) {
    if (*c == L'|') *c = L' ';
  }
  const SYSTEMTIME& t = record->time;
  // Longer output is cut at the buffer's last character; the cut is the documented result.
  StringCchPrintfW(record->textBuffer, ERRINFO_TEXT_BUFFER_CCH,
                   L"%1d|%04hu-%02hu-%02hu|%02hu:%02hu:%02hu|%ls|%d|%ls|%ls|%d|%ls",
                   static_cast<int>(record->flag), t.wYear, t.wMonth, t.wDay, t.wHour,
                   t.wMinute, t.wSecond, record->sourceFile, static_cast<int>(record->line),
                   record->messageSource, CategoryName(record->category),
                   static_cast<int>(record->code), record->message);
  *text = record->textBuffer;
  return record->code;
}

uint32_t FormatThreadError(const wchar_t** text) {
  return FormatThreadErrorOf(g_ErrObjManager, text);
}
