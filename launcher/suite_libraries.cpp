// The process's suite-library objects. Defined in this one file so that their construction
// order is their order here (base, configuration, utility) and destruction runs in reverse.
#include "trust/trust.h"

CTamselBaseExportFuncs g_baseExportFuncs;
CTamselConfExportFuncs g_confExportFuncs;
CTamselUtilExportFuncs g_utilExportFuncs;
