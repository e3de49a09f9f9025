// The process's static objects. Defined in this one file so that their construction order is
// their order here (base, configuration, utility library, then the error-object manager) and
// destruction runs in reverse: the manager first, the base library's release last.
#include "errobj/errobj_manager.h"
#include "trust/trust.h"

CTamselBaseExportFuncs g_baseExportFuncs;
CTamselConfExportFuncs g_confExportFuncs;
CTamselUtilExportFuncs g_utilExportFuncs;
CErrObjManager g_ErrObjManager;
