// The byte rules of the machine identifier: the text rule, the three pieces and their
// assembly. Free of windows.h so that it also builds natively (for a fuzzer).
//
// Every function here writes at position within room bytes (the terminator included) and
// returns the number of bytes written without the terminator, 0 when it wrote nothing, or -1
// when the piece does not fit.
#pragma once

#include <stdint.h>

constexpr uint32_t MACHINEID_BUFFER_SIZE = 8192;
constexpr uint32_t CPU_VENDOR_LENGTH = 12;
constexpr uint32_t MAC_ADDRESS_BYTES = 6;
constexpr char MACHINEID_SEPARATOR = '|';

// Disk descriptor field that holds the offset of the serial number text.
constexpr uint32_t DESCRIPTOR_SERIAL_OFFSET_FIELD = 24;

inline bool IsPrintableByte(uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }

// Writes prefix and then text, the latter decoded when it reads as pairs of hexadecimal
// digits that give printable bytes, else copied while printable. The text ends at its first
// zero byte or after textLength bytes. Nothing is written (0) when its first byte is not
// printable. -1 when the prefix or the text does not fit; the written piece is then cleared.
int32_t AppendDeviceText(char* position, uint32_t room, const char* prefix, const char* text,
                         uint32_t textLength);

// "<vendor>:<value in upper-case hexadecimal without leading zeros>"; the vendor text ends at
// its first zero byte or after 12 bytes.
int32_t AppendProcessorText(char* position, uint32_t room, const char vendor[CPU_VENDOR_LENGTH],
                            uint64_t value);

// "DISKID:" and the serial number of a storage device descriptor of length bytes (the bytes
// the device returned). No serial (0) when its offset is zero or outside those bytes.
int32_t AppendDiskSerial(char* position, uint32_t room, const uint8_t* descriptor, uint32_t length);

// "MAC:" and the address as twelve upper-case hexadecimal digits, through the text rule.
int32_t AppendAdapterAddress(char* position, uint32_t room, uint64_t address);

// The six address bytes of a permanent-address answer as a number, first byte most significant.
uint64_t AdapterAddressValue(const uint8_t answer[MAC_ADDRESS_BYTES]);

// Builds one piece at position within room, as the functions above.
typedef int32_t (*MACHINEIDPIECE)(void* context, char* position, uint32_t room);

// Writes the processor, disk and adapter pieces one after the other into a buffer of
// MACHINEID_BUFFER_SIZE bytes and puts the separator on the first byte of a non-empty disk and
// adapter piece. Returns the total length, 0 when no piece was built, -1 when one failed.
int32_t AssembleMachineId(char* buffer, MACHINEIDPIECE processor, MACHINEIDPIECE disk,
                          MACHINEIDPIECE adapter, void* context);
