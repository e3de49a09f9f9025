// Reporting through a given manager rather than the module's own. The manager reports its own
// out-of-memory failure this way, and tests report through managers made with fault seams.
// Contracts as for ReportSysError, ReportAppError and FormatThreadError in errobj.h.
#pragma once

#include <stdint.h>

#include "errobj/errobj.h"

class CErrObjManager;

THREADERRORTYPE ReportSysErrorTo(CErrObjManager& manager, const wchar_t* sourceFile,
                                 int32_t line, const wchar_t* messageSource,
                                 const wchar_t* format, ...);
THREADERRORTYPE ReportAppErrorTo(CErrObjManager& manager, const wchar_t* sourceFile,
                                 int32_t line, uint32_t code, const wchar_t* format, ...);
uint32_t FormatThreadErrorOf(CErrObjManager& manager, const wchar_t** text);
