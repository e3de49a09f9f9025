#include "trust/trust.h"

const SELFPROTECTIONDEVICE& PlatformSelfProtectionDevice() {
  static const SELFPROTECTIONDEVICE device = {CreateFileW, DeviceIoControl, CloseHandle};
  return device;
}

uint32_t QuerySelfProtectionOn(const SELFPROTECTIONDEVICE& device, uint32_t processId) {
  HANDLE handle = device.open(SELFPROTECTION_DEVICE_NAME, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return 0;
  }
  uint32_t answer = 0;
  DWORD returned = 0;  // the driver's byte count is not examined
  BOOL ok = device.control(handle, SELFPROTECTION_IOCTL_QUERY, &processId, sizeof(processId),
                           &answer, sizeof(answer), &returned, nullptr);
  device.close(handle);
  return ok ? answer : 0;
}

uint32_t QuerySelfProtection(uint32_t processId) {
  return QuerySelfProtectionOn(PlatformSelfProtectionDevice(), processId);
}
