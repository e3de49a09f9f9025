#include "machineid/pieces.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr char MARKER = '\x5A';

struct TEXTCASE {
  const char* name;
  std::string text;
  uint32_t room;
  int32_t result;
  const char* written;  // the piece text, when the result is positive
};

TEST(DeviceTextRule, DecodesCopiesOrRefuses) {
  const TEXTCASE cases[] = {
      {"plain text copied", "WD-WCC4N0123", 64, 19, "DISKID:WD-WCC4N0123"},
      {"hex pairs decoded", "3132", 64, 9, "DISKID:12"},
      {"lower-case hex decoded", "6a6B", 64, 9, "DISKID:jk"},
      {"decoded zero byte keeps text", "3100", 64, 11, "DISKID:3100"},
      {"odd digit count keeps text", "313", 64, 10, "DISKID:313"},
      {"non-hex digit keeps text", "31G2", 64, 11, "DISKID:31G2"},
      {"decoded control byte keeps text", "311F", 64, 11, "DISKID:311F"},
      {"decoded high byte keeps text", "3180", 64, 11, "DISKID:3180"},
      {"spaces kept, not trimmed", "  S3Z 9 ", 64, 15, "DISKID:  S3Z 9 "},
      {"decoding stops at a control byte",
       "3132\x01"
       "41",
       64, 9, "DISKID:12"},
      {"copy stops at a control byte", "AB-C\x02tail", 64, 11, "DISKID:AB-C"},
      {"copy stops at a high byte", "AB-C\xC3\xA9", 64, 11, "DISKID:AB-C"},
      {"first byte a control byte",
       "\x1F"
       "ABC",
       64, 0, nullptr},
      {"first byte a high byte",
       "\xE9"
       "ABC",
       64, 0, nullptr},
      {"empty text", "", 64, 0, nullptr},
      {"exact room for a copy", "ABCDE", 13, 12, "DISKID:ABCDE"},
      {"copy one byte short", "ABCDE", 12, -1, nullptr},
      {"exact room for a decode", "313233", 11, 10, "DISKID:123"},
      {"decode one byte short", "313233", 10, -1, nullptr},
      {"no room for the prefix", "ABC", 7, -1, nullptr},
      {"room for the prefix only", "ABC", 8, -1, nullptr},
  };
  for (const TEXTCASE& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> out(c.room + 8, MARKER);
    const int32_t result = AppendDeviceText(out.data(), c.room, "DISKID:", c.text.data(),
                                            static_cast<uint32_t>(c.text.size() + 1));
    EXPECT_EQ(c.result, result);
    if (c.result > 0) {
      EXPECT_STREQ(c.written, out.data());
    } else if (c.result == 0) {
      EXPECT_EQ(MARKER, out[0]);
    } else if (c.room > 0) {
      EXPECT_NE('D', out[0]) << "a piece that does not fit must not stay behind";
    }
    EXPECT_EQ(MARKER, out[c.room]) << "wrote beyond its room";
  }
}

TEST(DeviceTextRule, TextEndsAtItsLengthWithoutTerminator) {
  char out[32];
  EXPECT_EQ(9, AppendDeviceText(out, sizeof(out), "DISKID:", "3132FFFF", 4));
  EXPECT_STREQ("DISKID:12", out);
  EXPECT_EQ(10, AppendDeviceText(out, sizeof(out), "DISKID:", "313", 3));
  EXPECT_STREQ("DISKID:313", out);
}

TEST(ProcessorText, VendorColonAndHexWithoutLeadingZeros) {
  char out[64];
  EXPECT_EQ(29, AppendProcessorText(out, sizeof(out), "GenuineIntel", 0xBFEBFBFF000906EAull));
  EXPECT_STREQ("GenuineIntel:BFEBFBFF000906EA", out);
  EXPECT_EQ(18, AppendProcessorText(out, sizeof(out), "AuthenticAMD", 0x00000000000A20F1ull));
  EXPECT_STREQ("AuthenticAMD:A20F1", out);
  EXPECT_EQ(14, AppendProcessorText(out, sizeof(out), "GenuineIntel", 0));
  EXPECT_STREQ("GenuineIntel:0", out);
  EXPECT_EQ(-1, AppendProcessorText(out, 14, "GenuineIntel", 0));
}

std::vector<uint8_t> Descriptor(uint32_t serialOffset, const std::string& serial, uint32_t length) {
  std::vector<uint8_t> d(std::max(length, DESCRIPTOR_SERIAL_OFFSET_FIELD + 4), 0);
  for (uint32_t i = 0; i < 4; ++i)
    d[DESCRIPTOR_SERIAL_OFFSET_FIELD + i] = serialOffset >> (8 * i) & 0xFF;
  if (serialOffset < length) {
    memcpy(d.data() + serialOffset, serial.data(),
           std::min<size_t>(serial.size(), length - serialOffset));
  }
  return d;
}

TEST(DiskSerial, SerialOffsetMustLieInsideTheReturnedData) {
  struct CASE {
    const char* name;
    uint32_t offset;
    uint32_t length;
    int32_t result;
  } cases[] = {
      {"serial inside", 64, 128, 13},
      {"offset zero", 0, 128, 0},
      {"offset at the end of the data", 128, 128, 0},
      {"offset beyond the data", 4000, 128, 0},
      {"descriptor too short for the field", 20, 27, 0},
      {"serial cut by the data end", 122, 128, 13},
  };
  for (const CASE& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> d = Descriptor(c.offset, "ZX1234", c.length);
    char out[64] = {};
    EXPECT_EQ(c.result, AppendDiskSerial(out, sizeof(out), d.data(), c.length));
    if (c.result > 0) {
      EXPECT_STREQ("DISKID:ZX1234", out);
    }
  }
}

TEST(AdapterAddress, TwelveDigitsOrSixPrintableBytes) {
  char out[64];
  EXPECT_EQ(16, AppendAdapterAddress(out, sizeof(out), 0x001A2B3C4D5Eull));
  EXPECT_STREQ("MAC:001A2B3C4D5E", out);
  // Every decoded byte printable: the text rule writes the six characters, not the digits.
  EXPECT_EQ(10, AppendAdapterAddress(out, sizeof(out), 0x313233343536ull));
  EXPECT_STREQ("MAC:123456", out);
  const uint8_t answer[MAC_ADDRESS_BYTES] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  EXPECT_EQ(0x001A2B3C4D5Eull, AdapterAddressValue(answer));
}

// Pieces as fixed texts, "" for an empty piece, nullptr for one that does not fit.
struct FIXEDPIECES {
  const char* texts[3];
  int calls;
};

int32_t FixedPiece(FIXEDPIECES* pieces, int index, char* position, uint32_t room) {
  ++pieces->calls;
  const char* text = pieces->texts[index];
  if (text == nullptr) return -1;
  const uint32_t length = static_cast<uint32_t>(strlen(text));
  if (length == 0) return 0;
  if (length + 1 > room) return -1;
  memcpy(position, text, length + 1);
  return static_cast<int32_t>(length);
}
int32_t Piece0(void* c, char* p, uint32_t r) {
  return FixedPiece(static_cast<FIXEDPIECES*>(c), 0, p, r);
}
int32_t Piece1(void* c, char* p, uint32_t r) {
  return FixedPiece(static_cast<FIXEDPIECES*>(c), 1, p, r);
}
int32_t Piece2(void* c, char* p, uint32_t r) {
  return FixedPiece(static_cast<FIXEDPIECES*>(c), 2, p, r);
}

TEST(Assembly, SeparatorReplacesThePrefixLetter) {
  struct CASE {
    const char* name;
    FIXEDPIECES pieces;
    int32_t result;
    const char* identifier;
    int calls;
  } cases[] = {
      {"all three", {{"CPU:1", "DISKID:S", "MAC:AB"}, 0}, 19, "CPU:1|ISKID:S|AC:AB", 3},
      {"no disk", {{"CPU:1", "", "MAC:AB"}, 0}, 11, "CPU:1|AC:AB", 3},
      {"no adapter", {{"CPU:1", "DISKID:S", ""}, 0}, 13, "CPU:1|ISKID:S", 3},
      {"processor only", {{"CPU:1", "", ""}, 0}, 5, "CPU:1", 3},
      {"no processor", {{"", "DISKID:S", "MAC:AB"}, 0}, 14, "|ISKID:S|AC:AB", 3},
      {"adapter only", {{"", "", "MAC:AB"}, 0}, 6, "|AC:AB", 3},
      {"nothing", {{"", "", ""}, 0}, 0, nullptr, 3},
      {"processor fails", {{nullptr, "DISKID:S", "MAC:AB"}, 0}, -1, nullptr, 1},
      {"disk fails", {{"CPU:1", nullptr, "MAC:AB"}, 0}, -1, nullptr, 2},
      {"adapter fails", {{"CPU:1", "DISKID:S", nullptr}, 0}, -1, nullptr, 3},
  };
  for (CASE& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> buffer(MACHINEID_BUFFER_SIZE, MARKER);
    EXPECT_EQ(c.result, AssembleMachineId(buffer.data(), Piece0, Piece1, Piece2, &c.pieces));
    EXPECT_EQ(c.calls, c.pieces.calls);
    if (c.result > 0) {
      EXPECT_STREQ(c.identifier, buffer.data());
    } else if (c.result == 0) {
      EXPECT_EQ(MARKER, buffer[0]) << "an empty identifier leaves the buffer as it was";
    }
  }
}

}  // namespace
