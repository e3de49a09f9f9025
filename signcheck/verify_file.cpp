#include <windows.h>

#include "errobj/errobj.h"
#include "signcheck/report_sources.h"
#include "signcheck/signcheck.h"

int VerifyFileSignature(const wchar_t* path, VERIFYINFO* info, int32_t* level) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (info != nullptr) info->sign.status = SIGSTATUS_NONE;
    REPORT_SYS_ERROR(CERTIFICATE_REPORT_SOURCE, L"CreateFile()失败");
    return 0;
  }
  const int verdictReached = VerifyImageSignature(file, info, level);
  CloseHandle(file);
  return verdictReached ? 1 : 0;
}
