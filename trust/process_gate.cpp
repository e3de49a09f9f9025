#include "trust/trust.h"

// Kept apart from the gate itself so that test programs, which bring their own base-library
// objects, need not define the process's one.
int32_t IsRepairLibraryTrusted(const wchar_t* path) {
  return IsRepairLibraryTrustedBy(g_baseExportFuncs, PlatformSelfProtectionDevice(), path);
}
