// The signature record of an own certificate entry: a signature element and a list of
// attributes. Free of windows.h, so that it also builds natively.
#pragma once

#include <stdint.h>

#include "signcheck/signcheck.h"

constexpr uint16_t SIGNATURE_RECORD_REVISION = 0x0100;  // WIN_CERT_REVISION_1_0
constexpr uint32_t SIGNATURE_RECORD_HEADER_SIZE = 8;    // the WIN_CERTIFICATE header
constexpr uint32_t SIGNATURE_RECORD_REVISION_OFFSET = 4;
constexpr uint32_t SIGNATURE_ELEMENT_OFFSET = 8;
constexpr uint32_t SIGNATURE_ELEMENT_HEADER_SIZE = 4;  // type, length
constexpr uint32_t SIGNATURE_ELEMENT_LENGTH_OFFSET = SIGNATURE_ELEMENT_OFFSET + 2;
constexpr uint16_t SIGNATURE_ELEMENT_TYPE_FIRST = 1;
constexpr uint16_t SIGNATURE_ELEMENT_TYPE_LAST = 3;
constexpr uint32_t ATTRIBUTE_HEADER_SIZE = 4;           // type, length
constexpr uint32_t ATTRIBUTE_LENGTH_OFFSET = 2;
constexpr uint16_t ATTRIBUTE_TEXT_FIRST = 4;            // types 4 to 7: zero-terminated UTF-16
constexpr uint16_t ATTRIBUTE_TEXT_LAST = 7;
constexpr uint16_t ATTRIBUTE_VALUE8 = 8;
constexpr uint16_t ATTRIBUTE_EXPIRY = 9;                // a FILETIME (UTC); 0 never expires
constexpr uint32_t ATTRIBUTE_VALUE_LENGTH = 12;         // header and an 8-byte value
constexpr uint32_t UTF16_UNIT_SIZE = 2;

// Parses an own certificate entry as ReadCertEntry left it: entry holds the entry's dwLength
// bytes (at least its 8-byte header); available is the size ReadCertEntry returned, which may
// count padding bytes that are not stored. Fills info (status 0) and hands out the signature
// bytes and the attribute list, both pointing into entry. A malformed record reports
// application error 1 (source ".\KVCheckCertificate") and answers 0.
//
// A text attribute (types 4 to 7) must hold whole UTF-16 characters ending in a zero one: an
// odd value length is malformed, so a reader of the text never runs past the attribute.
int ParseSignatureRecord(const uint8_t* entry, uint32_t available, SIGNINFO* info,
                         const uint8_t** signature, int32_t* signatureLength,
                         const uint8_t** attributes, int32_t* attributesLength);
