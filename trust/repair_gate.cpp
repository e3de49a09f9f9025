#include <shlwapi.h>
#include <strsafe.h>

#include "trust/trust.h"

namespace {

// "TamselBase.dll" in the suite directory; false when the joined path would not fit.
bool BaseLibraryPath(const std::wstring& suiteDirectory, wchar_t* path) {
  return SUCCEEDED(StringCchCopyW(path, LIBRARY_PATH_CAPACITY, suiteDirectory.c_str())) &&
         PathAppendW(path, BASE_LIBRARY_NAME);
}

}  // namespace

int32_t IsRepairLibraryTrustedBy(CTamselBaseExportFuncs& base, const TRUSTPLATFORM& platform,
                                 const wchar_t* path) {
  if (QuerySelfProtectionOn(*platform.device, GetCurrentProcessId()) != 0) {
    return 1;
  }
  try {
    wchar_t basePath[LIBRARY_PATH_CAPACITY] = {};
    if (!BaseLibraryPath(platform.suiteDirectory(), basePath) || base.EnsureBound(basePath, platform) == 0) {
      return 0;
    }
    return base.IsFileTrusted(path);
  } catch (...) {
    return 0;
  }
}
