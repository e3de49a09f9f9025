// The module's error-object manager, for executables and DLLs that have no other static
// objects to order it after (see errobj_manager.h).
#include "errobj/errobj_manager.h"

CErrObjManager g_ErrObjManager;
