// A module of its own with its own manager, for the tests of many modules sharing one block.
#include <windows.h>

#include "errobj/errobj.h"
#include "errobj/errobj_manager.h"

extern "C" {

__declspec(dllexport) ERROBJSHARED* PeerSharedBlock() { return g_ErrObjManager.GetSharedBlock(); }

__declspec(dllexport) ERROBJNODE* PeerThreadErrorInfo() { return GetThreadErrorInfo(); }

__declspec(dllexport) THREADERRORTYPE PeerReportAppError(uint32_t code, const wchar_t* text) {
  return ReportAppError(L".\\PeerModule", 7, code, L"%ls", text);
}

__declspec(dllexport) uint32_t PeerFormatThreadError(const wchar_t** text) {
  return FormatThreadError(text);
}

}  // extern "C"
