#include "launcher/launcher.h"
#include "trust/trust.h"

const TRUSTPLATFORM& PlatformTrust() {
  static const TRUSTPLATFORM platform = {&PlatformSelfProtectionDevice(), VerifyFileSignature,
                                         GetSuiteDirectory};
  return platform;
}

// Kept apart from the gate itself so that test programs, which bring their own base-library
// objects and platforms, need not define the process's one.
int32_t IsRepairLibraryTrusted(const wchar_t* path) {
  return IsRepairLibraryTrustedBy(g_baseExportFuncs, PlatformTrust(), path);
}
