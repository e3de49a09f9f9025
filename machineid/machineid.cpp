#include "machineid/machineid.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>

namespace {

constexpr wchar_t NETWORK_CARDS_KEY[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
constexpr REGSAM NETWORK_CARDS_ACCESS = KEY_READ | KEY_WOW64_64KEY;
constexpr uint32_t ADAPTER_KEY_NAME_CHARS = 256;
constexpr char DEVICE_PATH_PREFIX[] = "\\\\.\\";
constexpr uint32_t DEVICE_PATH_PREFIX_LENGTH = 4;
static_assert(sizeof(DEVICE_PATH_PREFIX) == DEVICE_PATH_PREFIX_LENGTH + 1, "device prefix");
constexpr DWORD IOCTL_NDIS_QUERY_GLOBAL_STATS_CODE = 0x00170002;
constexpr DWORD OID_802_3_PERMANENT_ADDRESS_CODE = 0x01010101;
constexpr uint32_t ADAPTER_ANSWER_SIZE = 8;
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x002D1400, "storage query code");
// The exception guard of common/compiler.h edits these fields by offset.
static_assert(offsetof(EXCEPTION_RECORD, ExceptionFlags) == GUARD_RECORD_FLAGS_OFFSET, "guard");
static_assert(offsetof(CONTEXT, Ebp) == GUARD_CONTEXT_EBP_OFFSET, "guard");
static_assert(offsetof(CONTEXT, Eip) == GUARD_CONTEXT_EIP_OFFSET, "guard");
static_assert(offsetof(CONTEXT, Esp) == GUARD_CONTEXT_ESP_OFFSET, "guard");
static_assert((EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND) == GUARD_UNWIND_FLAGS, "guard");
static_assert(ExceptionContinueExecution == GUARD_CONTINUE_EXECUTION, "guard");
static_assert(ExceptionContinueSearch == GUARD_CONTINUE_SEARCH, "guard");

CPUIDRESULT ExecuteCpuidDevice(void*, uint32_t leaf, uint32_t subleaf) {
  return ExecuteCpuid(leaf, subleaf);
}

bool QueryDiskDescriptor(void*, uint32_t drive, uint8_t* descriptor, uint32_t size,
                         uint32_t* returned) {
  char path[32];
  snprintf(path, sizeof(path), "\\\\.\\PhysicalDrive%u", drive);
  HANDLE device = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  STORAGE_PROPERTY_QUERY query = {};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  static_assert(sizeof(query) == 12, "STORAGE_PROPERTY_QUERY layout");
  DWORD bytes = 0;
  const bool answered = DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                                        descriptor, size, &bytes, nullptr) != FALSE;
  CloseHandle(device);
  *returned = bytes;
  return answered;
}

bool QueryAdapterAddress(void*, const char* devicePath, uint8_t answer[ADAPTER_ANSWER_SIZE]) {
  HANDLE device = CreateFileA(devicePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  DWORD oid = OID_802_3_PERMANENT_ADDRESS_CODE;
  DWORD bytes = 0;
  const bool answered =
      DeviceIoControl(device, IOCTL_NDIS_QUERY_GLOBAL_STATS_CODE, &oid, sizeof(oid), answer,
                      ADAPTER_ANSWER_SIZE, &bytes, nullptr) != FALSE;
  CloseHandle(device);
  return answered;
}

struct PROCESSORREAD {
  const MACHINEIDDEVICES* devices;
  CPUIDRESULT leaf0;
  CPUIDRESULT leaf1;
};

void ReadProcessor(void* argument) {
  PROCESSORREAD* read = static_cast<PROCESSORREAD*>(argument);
  read->leaf0 = read->devices->executeCpuid(read->devices->context, 0, 0);
  read->leaf1 = read->devices->executeCpuid(read->devices->context, 1, 0);
}

int32_t BuildProcessorPiece(void* context, char* position, uint32_t room) {
  PROCESSORREAD read = {static_cast<const MACHINEIDDEVICES*>(context), {}, {}};
  if (!RunGuarded(ReadProcessor, &read)) return 0;
  char vendor[CPU_VENDOR_LENGTH];
  memcpy(vendor, &read.leaf0.ebx, 4);
  memcpy(vendor + 4, &read.leaf0.edx, 4);
  memcpy(vendor + 8, &read.leaf0.ecx, 4);
  const uint64_t value = static_cast<uint64_t>(read.leaf1.edx) << 32 | read.leaf1.eax;
  return AppendProcessorText(position, room, vendor, value);
}

int32_t BuildDiskPiece(void* context, char* position, uint32_t room) {
  const MACHINEIDDEVICES* devices = static_cast<const MACHINEIDDEVICES*>(context);
  uint8_t* descriptor = static_cast<uint8_t*>(malloc(DISK_DESCRIPTOR_BUFFER_SIZE));
  if (descriptor == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  int32_t result = 0;
  for (uint32_t drive = 0; drive < PHYSICAL_DRIVE_COUNT && result == 0; ++drive) {
    memset(descriptor, 0, DISK_DESCRIPTOR_BUFFER_SIZE);
    uint32_t returned = 0;
    if (!devices->queryDiskDescriptor(devices->context, drive, descriptor,
                                      DISK_DESCRIPTOR_BUFFER_SIZE, &returned)) {
      continue;
    }
    if (returned > DISK_DESCRIPTOR_BUFFER_SIZE) returned = DISK_DESCRIPTOR_BUFFER_SIZE;
    result = AppendDiskSerial(position, room, descriptor, returned);
  }
  free(descriptor);
  return result;
}

// The permanent address of the adapter behind subkey name of the NetworkCards key; 0 when its
// service name cannot be read or its device does not answer. work holds the subkey name.
uint64_t ReadAdapterAddress(const MACHINEIDDEVICES* devices, HKEY cards, char* work) {
  HKEY adapter = nullptr;
  if (RegOpenKeyExW(cards, reinterpret_cast<const wchar_t*>(work), 0, NETWORK_CARDS_ACCESS,
                    &adapter) != ERROR_SUCCESS) {
    return 0;
  }
  char* serviceName = work + DEVICE_PATH_PREFIX_LENGTH;
  const DWORD room = ADAPTER_WORK_BUFFER_SIZE - DEVICE_PATH_PREFIX_LENGTH;
  DWORD size = room;
  const LSTATUS status = RegQueryValueExA(adapter, "ServiceName", nullptr, nullptr,
                                          reinterpret_cast<BYTE*>(serviceName), &size);
  RegCloseKey(adapter);
  if (status != ERROR_SUCCESS) return 0;
  // A name stored without its terminator must still end inside the work buffer.
  if (size < room) {
    serviceName[size] = 0;
  } else if (serviceName[room - 1] != 0) {
    return 0;
  }
  memcpy(work, DEVICE_PATH_PREFIX, DEVICE_PATH_PREFIX_LENGTH);
  uint8_t answer[ADAPTER_ANSWER_SIZE] = {};
  if (!devices->queryAdapterAddress(devices->context, work, answer)) return 0;
  return AdapterAddressValue(answer);
}

int32_t BuildAdapterPiece(void* context, char* position, uint32_t room) {
  const MACHINEIDDEVICES* devices = static_cast<const MACHINEIDDEVICES*>(context);
  char* work = static_cast<char*>(malloc(ADAPTER_WORK_BUFFER_SIZE));
  if (work == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  uint64_t largest = 0;
  HKEY cards = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NETWORK_CARDS_KEY, 0, NETWORK_CARDS_ACCESS, &cards) ==
      ERROR_SUCCESS) {
    for (DWORD index = 0;; ++index) {
      DWORD nameChars = ADAPTER_KEY_NAME_CHARS;
      if (RegEnumKeyExW(cards, index, reinterpret_cast<wchar_t*>(work), &nameChars, nullptr,
                        nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        break;
      }
      const uint64_t address = ReadAdapterAddress(devices, cards, work);
      if (address > largest) largest = address;
    }
    RegCloseKey(cards);
  }
  const int32_t result = largest == 0 ? 0 : AppendAdapterAddress(position, room, largest);
  free(work);
  return result;
}

}  // namespace

const MACHINEIDDEVICES RealMachineIdDevices = {nullptr, ExecuteCpuidDevice, QueryDiskDescriptor,
                                               QueryAdapterAddress};

int32_t BuildMachineId(char* buffer, const MACHINEIDDEVICES* devices) {
  MACHINEIDDEVICES pieces = *devices;
  return AssembleMachineId(buffer, BuildProcessorPiece, BuildDiskPiece, BuildAdapterPiece, &pieces);
}

int32_t GetMachineId(char* buffer) { return BuildMachineId(buffer, &RealMachineIdDevices); }
