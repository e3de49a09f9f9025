#include "launcher/launcher.h"
#include "trust/trust.h"

namespace {

// The file verifier is not part of the build yet; until it is, no library passes the check.
int RefuseEveryFile(const wchar_t*, VERIFYINFO*, int32_t*) { return 0; }

}  // namespace

const TRUSTPLATFORM& PlatformTrust() {
  static const TRUSTPLATFORM platform = {&PlatformSelfProtectionDevice(), RefuseEveryFile,
                                         GetSuiteDirectory};
  return platform;
}

// Kept apart from the gate itself so that test programs, which bring their own base-library
// objects and platforms, need not define the process's one.
int32_t IsRepairLibraryTrusted(const wchar_t* path) {
  return IsRepairLibraryTrustedBy(g_baseExportFuncs, PlatformTrust(), path);
}
