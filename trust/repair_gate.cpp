#include "trust/trust.h"

int32_t IsRepairLibraryTrustedBy(CTamselBaseExportFuncs& base, const SELFPROTECTIONDEVICE& device,
                                 const wchar_t* path) {
  if (QuerySelfProtectionOn(device, GetCurrentProcessId()) != 0) {
    return 1;
  }
  // Binding the base library on demand arrives with the suite-library binding; until then
  // only an instance that is already bound is asked, and an unbound one refuses.
  if (!base.IsBound()) {
    return 0;
  }
  try {
    return base.IsFileTrusted(path);
  } catch (...) {
    return 0;
  }
}
