// The machine identifier: an 8-bit text made from the processor identification, the serial
// number of the first physical disk that reports one and the largest permanent MAC address of
// the network adapters. Machine authorizations are bound to the MD5 of exactly this text.
#pragma once

#include <stdint.h>

#include "common/compiler.h"
#include "machineid/pieces.h"

// Work buffers of the disk and adapter queries.
constexpr uint32_t DISK_DESCRIPTOR_BUFFER_SIZE = 10240;
constexpr uint32_t PHYSICAL_DRIVE_COUNT = 16;
constexpr uint32_t ADAPTER_WORK_BUFFER_SIZE = 512;

// The hardware the identifier reads. Tests pass their own; GetMachineId uses the real one.
struct MACHINEIDDEVICES {
  void* context;  // handed to each function
  // Executes cpuid; called inside the exception guard.
  CPUIDRESULT (*executeCpuid)(void* context, uint32_t leaf, uint32_t subleaf);
  // Opens physical drive drive and asks for its storage device descriptor into descriptor
  // (size bytes, zeroed by the caller); *returned gets the bytes the device wrote.
  // False when the drive does not open or the query fails.
  bool (*queryDiskDescriptor)(void* context, uint32_t drive, uint8_t* descriptor, uint32_t size,
                              uint32_t* returned);
  // Opens devicePath ("\\.\" and an adapter's service name) and asks for the permanent
  // address into answer. False when the device does not open or the query fails.
  bool (*queryAdapterAddress)(void* context, const char* devicePath, uint8_t answer[8]);
};

extern const MACHINEIDDEVICES RealMachineIdDevices;

// Writes the identifier, zero-terminated, into buffer (MACHINEID_BUFFER_SIZE bytes). Returns
// its length; 0 when no piece could be built (buffer untouched); -1 when a piece does not fit
// or a work buffer cannot be allocated (last error ERROR_NOT_ENOUGH_MEMORY). Reports nothing.
int32_t GetMachineId(char* buffer);

// The same over the given devices. The adapters are those listed under the NetworkCards key of
// HKEY_LOCAL_MACHINE in its 64-bit view.
int32_t BuildMachineId(char* buffer, const MACHINEIDDEVICES* devices);
