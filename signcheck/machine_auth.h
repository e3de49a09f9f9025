// Machine authorization: a registry record, signed with the authorization key, that binds the
// machine-bound signature kind to this machine through the MD5 of its machine identifier.
// The record is only read here; the signed message is rebuilt from its values.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "signcheck/md5.h"

// Results of CheckMachineAuthorization.
constexpr int32_t MACHINEAUTH_NONE = 0;     // nothing usable to check
constexpr int32_t MACHINEAUTH_INVALID = 1;  // a record is there but does not verify
constexpr int32_t MACHINEAUTH_EXPIRED = 2;  // verifies, but its expiration date has passed
constexpr int32_t MACHINEAUTH_VALID = 3;    // verifies and has not expired (or never expires)

// The one buffer all four registry values are read into, one after the other.
constexpr uint32_t MACHINEAUTH_VALUE_BUFFER_SIZE = 1024;
// The message buffer: twice the value bytes used, at least twice the base, at most the cap.
constexpr uint32_t AUTH_MESSAGE_SIZE_BASE = 128;
constexpr uint32_t AUTH_MESSAGE_SIZE_MAX = 1024;

// Items of the signed message: type (u16 LE), length of the whole item (u16 LE), value.
constexpr uint16_t AUTHITEM_OPERATOR = 10;
constexpr uint16_t AUTHITEM_ISSUE_DATE = 11;
constexpr uint16_t AUTHITEM_EXPIRATION_DATE = 12;
constexpr uint16_t AUTHITEM_MACHINE_ID = 14;
constexpr uint32_t AUTHITEM_HEADER_SIZE = 4;
constexpr uint32_t AUTHITEM_MIN_TEXT_ROOM = 6;  // a header and one character
constexpr uint32_t AUTHITEM_MACHINE_ID_SIZE = AUTHITEM_HEADER_SIZE + MD5_DIGEST_SIZE;

// The record as read. The texts and the signature point into the caller's value buffer.
struct MACHINEAUTH {
  const wchar_t* operatorText;    // null when absent
  const wchar_t* issueDate;       // null when absent
  const wchar_t* expirationDate;  // null when absent: never expires
  uint8_t machineIdDigest[MD5_DIGEST_SIZE];
  uint32_t signLength;
  const uint8_t* signData;
};
#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(MACHINEAUTH, machineIdDigest) == 12, "MACHINEAUTH layout");
static_assert(offsetof(MACHINEAUTH, signLength) == 28, "MACHINEAUTH layout");
static_assert(sizeof(MACHINEAUTH) == 36, "MACHINEAUTH layout");
#endif

// Reads HKEY_LOCAL_MACHINE "SOFTWARE\TamselMachineSignature" (64-bit view) afresh and checks
// its signature against this machine. Returns one of MACHINEAUTH_*. Reports only the failures
// of GetMachineIdDigest and BuildAuthorizationMessage.
int32_t CheckMachineAuthorization();

// Fills *record (zeroed here) from the registry into valueBuffer
// (MACHINEAUTH_VALUE_BUFFER_SIZE bytes) and the buffer bytes used into *used. A text value
// larger than the room left counts as absent; every value read must leave a byte unused. A text
// stored without its terminating zero gets one. Nonzero on success; reports only through
// GetMachineIdDigest.
int ReadMachineAuthorization(MACHINEAUTH* record, uint8_t* valueBuffer, uint32_t* used);

// The machine identifier as GetMachineId makes it: its length, 0 or -1, into 8192 bytes.
typedef int32_t (*MACHINEIDSOURCE)(char* buffer);

// Writes the MD5 of the machine identifier; nonzero on success. The first success is kept for
// the life of the process (no lock: callers serialise). Failures are reported: a buffer that
// cannot be allocated, an identifier too long (code 9), none at all (code 11).
int GetMachineIdDigest(uint8_t digest[MD5_DIGEST_SIZE]);

// Replaces the identifier source (null: GetMachineId) and empties the digest cache.
void SetMachineIdSource(MACHINEIDSOURCE source);

// The size of the message buffer for a record that uses the given value-buffer bytes.
uint32_t AuthorizationMessageSize(uint32_t valueBytesUsed);

// Writes the signed message of record into message (size bytes) and its length into *length.
// Nonzero on success; a malformed date (code 1) or a message that does not fit (code 5) is
// reported and fails.
int BuildAuthorizationMessage(uint8_t* message, uint32_t size, const MACHINEAUTH* record,
                              uint32_t* length);

// Writes one text item (its zero character included) at position within room bytes and its
// length into *itemLength. Below AUTHITEM_MIN_TEXT_ROOM nothing is written and *itemLength is 0
// (the caller's own room check then fails). A text that does not fit is reported (code 5).
int AppendTextItem(uint8_t* position, uint32_t room, uint16_t type, const wchar_t* text,
                   uint32_t* itemLength);

// Reads "year-month-day[ hour:minute:second]" as local time into a FILETIME (UTC). Either 3 or
// 6 numbers; anything after the last one is ignored. Nonzero on success.
int ParseDateText(const wchar_t* text, uint64_t* time);

// 1 when time is nonzero and strictly earlier than the current system time, else 0.
int IsExpired(uint64_t time);
// The same against a given current time; both compared as signed 64-bit numbers.
int IsExpiredAt(uint64_t time, uint64_t now);
