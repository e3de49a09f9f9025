#include "machineid/pieces.h"

#include <string.h>

#include <initializer_list>

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

enum DECODERESULT { DECODE_DONE, DECODE_NOT_HEX, DECODE_NO_ROOM };

// Decodes text as hexadecimal pairs into output (room bytes, one kept for the terminator).
DECODERESULT DecodeHexText(const char* text, uint32_t textLength, char* output, uint32_t room,
                           uint32_t* written) {
  *written = 0;
  for (uint32_t i = 0;; i += 2) {
    if (i >= textLength || text[i] == 0) return DECODE_DONE;
    if (i + 1 >= textLength || text[i + 1] == 0) return DECODE_NOT_HEX;
    const uint8_t high = static_cast<uint8_t>(text[i]);
    const uint8_t low = static_cast<uint8_t>(text[i + 1]);
    if (!IsPrintableByte(high) || !IsPrintableByte(low)) return DECODE_DONE;
    const int highValue = HexDigitValue(text[i]);
    const int lowValue = HexDigitValue(text[i + 1]);
    if (highValue < 0 || lowValue < 0) return DECODE_NOT_HEX;
    const uint8_t byte = static_cast<uint8_t>(highValue << 4 | lowValue);
    if (!IsPrintableByte(byte)) return DECODE_NOT_HEX;
    if (room - *written <= 1) return DECODE_NO_ROOM;
    output[(*written)++] = static_cast<char>(byte);
  }
}

// Copies the printable start of text; false when room ran out before the printable text ended.
bool CopyPrintableText(const char* text, uint32_t textLength, char* output, uint32_t room,
                       uint32_t* written) {
  uint32_t i = 0;
  while (i < textLength && IsPrintableByte(static_cast<uint8_t>(text[i])) && room - i > 1) {
    output[i] = text[i];
    ++i;
  }
  *written = i;
  return !(i < textLength && IsPrintableByte(static_cast<uint8_t>(text[i])));
}

// Writes value in upper-case hexadecimal, at least minimumDigits digits; returns the digit count.
uint32_t FormatHex(uint64_t value, uint32_t minimumDigits, char digits[16]) {
  uint32_t count = 1;
  while (count < 16 && (value >> (4 * count)) != 0) ++count;
  if (count < minimumDigits) count = minimumDigits;
  for (uint32_t i = 0; i < count; ++i) {
    digits[count - 1 - i] = "0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
  }
  return count;
}

}  // namespace

int32_t AppendDeviceText(char* position, uint32_t room, const char* prefix, const char* text,
                         uint32_t textLength) {
  if (textLength == 0 || !IsPrintableByte(static_cast<uint8_t>(text[0]))) return 0;
  const uint32_t prefixLength = static_cast<uint32_t>(strlen(prefix));
  if (room < prefixLength + 1) return -1;
  memcpy(position, prefix, prefixLength);
  char* output = position + prefixLength;
  const uint32_t left = room - prefixLength;

  uint32_t written = 0;
  switch (DecodeHexText(text, textLength, output, left, &written)) {
    case DECODE_DONE:
      break;
    case DECODE_NO_ROOM:
      position[0] = 0;
      return -1;
    case DECODE_NOT_HEX:
      if (!CopyPrintableText(text, textLength, output, left, &written)) {
        position[0] = 0;
        return -1;
      }
      break;
  }
  output[written] = 0;
  return static_cast<int32_t>(prefixLength + written);
}

int32_t AppendProcessorText(char* position, uint32_t room, const char vendor[CPU_VENDOR_LENGTH],
                            uint64_t value) {
  const uint32_t vendorLength = static_cast<uint32_t>(strnlen(vendor, CPU_VENDOR_LENGTH));
  char digits[16];
  const uint32_t digitCount = FormatHex(value, 1, digits);
  const uint32_t length = vendorLength + 1 + digitCount;
  if (room < length + 1) return -1;
  memcpy(position, vendor, vendorLength);
  position[vendorLength] = ':';
  memcpy(position + vendorLength + 1, digits, digitCount);
  position[length] = 0;
  return static_cast<int32_t>(length);
}

int32_t AppendDiskSerial(char* position, uint32_t room, const uint8_t* descriptor,
                         uint32_t length) {
  if (length < DESCRIPTOR_SERIAL_OFFSET_FIELD + 4) return 0;
  const uint8_t* field = descriptor + DESCRIPTOR_SERIAL_OFFSET_FIELD;
  const uint32_t offset = static_cast<uint32_t>(field[0]) | static_cast<uint32_t>(field[1]) << 8 |
                          static_cast<uint32_t>(field[2]) << 16 |
                          static_cast<uint32_t>(field[3]) << 24;
  if (offset == 0 || offset >= length) return 0;
  return AppendDeviceText(position, room,
                          "DISKID:", reinterpret_cast<const char*>(descriptor + offset),
                          length - offset);
}

int32_t AppendAdapterAddress(char* position, uint32_t room, uint64_t address) {
  char digits[16];
  const uint32_t digitCount = FormatHex(address, 2 * MAC_ADDRESS_BYTES, digits);
  return AppendDeviceText(position, room, "MAC:", digits, digitCount);
}

uint64_t AdapterAddressValue(const uint8_t answer[MAC_ADDRESS_BYTES]) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < MAC_ADDRESS_BYTES; ++i) value = value << 8 | answer[i];
  return value;
}

int32_t AssembleMachineId(char* buffer, MACHINEIDPIECE processor, MACHINEIDPIECE disk,
                          MACHINEIDPIECE adapter, void* context) {
  const int32_t processorLength = processor(context, buffer, MACHINEID_BUFFER_SIZE);
  if (processorLength < 0) return -1;

  uint32_t used = static_cast<uint32_t>(processorLength);
  for (MACHINEIDPIECE piece : {disk, adapter}) {
    const int32_t length = piece(context, buffer + used, MACHINEID_BUFFER_SIZE - used);
    if (length < 0) return -1;
    if (length > 0) {
      buffer[used] = MACHINEID_SEPARATOR;
      used += static_cast<uint32_t>(length);
    }
  }
  return static_cast<int32_t>(used);
}
