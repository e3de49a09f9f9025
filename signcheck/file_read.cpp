// Positioned, exact reads on the caller's file handle.
#include "errobj/errobj.h"
#include "signcheck/image.h"
#include "signcheck/report_sources.h"

int SeekTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
    REPORT_SYS_ERROR(IMAGE_REPORT_SOURCE, L"SetFilePointerEx()失败");
    return 0;
  }
  return 1;
}

int ReadExact(HANDLE file, void* destination, uint32_t length) {
  DWORD got = 0;
  if (!ReadFile(file, destination, length, &got, nullptr)) {
    REPORT_SYS_ERROR(IMAGE_REPORT_SOURCE, L"ReadFile()失败");
    return 0;
  }
  if (got < length) {
    REPORT_APP_ERROR(IMAGE_REPORT_SOURCE, 1, L"文件长度不足");
    return 0;
  }
  return 1;
}
