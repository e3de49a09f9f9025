// The image reader, the signature containers and the image digests: the signature verifier's
// view of one PE file, opened through a caller's Win32 file handle.
//
// Every failure is reported once to the thread's error record (source ".\RUZozozUre") and the
// operation answers 0; operations that answer 1 may still have reported a resource lookup that
// found nothing (the open goes on without a signature resource). The file is never written.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "signcheck/md5.h"
#include "signcheck/sha256.h"

// PE layout.
constexpr uint16_t DOS_MAGIC = 0x5A4D;              // "MZ"
constexpr uint32_t DOS_HEADER_SIZE = 64;
constexpr uint32_t DOS_LFANEW_OFFSET = 60;          // signed e_lfanew
constexpr uint32_t PE_SIGNATURE = 0x00004550;       // "PE\0\0"
constexpr uint32_t PE_SIGNATURE_SIZE = 4;
constexpr uint32_t FILE_HEADER_SIZE = 20;
constexpr uint32_t FILE_HEADER_SECTION_COUNT_OFFSET = 2;
constexpr uint32_t FILE_HEADER_OPTIONAL_SIZE_OFFSET = 16;
constexpr uint32_t OPTIONAL_HEADER_OFFSET = PE_SIGNATURE_SIZE + FILE_HEADER_SIZE;  // from e_lfanew
constexpr uint32_t OPTIONAL_MAGIC_SIZE = 2;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x10B;
constexpr uint16_t OPTIONAL_MAGIC_PE32PLUS = 0x20B;
// Sizes up to and including the resource directory entry (index 2): the least that is accepted.
constexpr uint32_t OPTIONAL_MIN_SIZE_PE32 = 120;
constexpr uint32_t OPTIONAL_MIN_SIZE_PE32PLUS = 136;
// Sizes with all sixteen directory entries: the most that is read.
constexpr uint32_t OPTIONAL_READ_SIZE_PE32 = 224;
constexpr uint32_t OPTIONAL_READ_SIZE_PE32PLUS = 240;
constexpr uint32_t OPTIONAL_CHECKSUM_OFFSET = 64;
constexpr uint32_t OPTIONAL_SUBSYSTEM_OFFSET = 68;
constexpr uint16_t SUBSYSTEM_NATIVE = 1;
constexpr uint32_t OPTIONAL_RESOURCE_DIR_OFFSET_PE32 = 112;
constexpr uint32_t OPTIONAL_RESOURCE_DIR_OFFSET_PE32PLUS = 128;
constexpr uint32_t OPTIONAL_CERT_DIR_OFFSET_PE32 = 128;
constexpr uint32_t OPTIONAL_CERT_DIR_OFFSET_PE32PLUS = 144;
constexpr uint32_t CHECKSUM_FIELD_SIZE = 4;
constexpr uint32_t DATA_DIRECTORY_ENTRY_SIZE = 8;   // VirtualAddress, Size
constexpr uint32_t DATA_DIRECTORY_SIZE_OFFSET = 4;
constexpr uint32_t SECTION_HEADER_SIZE = 40;
constexpr uint32_t SECTION_VIRTUAL_SIZE_OFFSET = 8;
constexpr uint32_t SECTION_VIRTUAL_ADDRESS_OFFSET = 12;
constexpr uint32_t SECTION_RAW_SIZE_OFFSET = 16;
constexpr uint32_t SECTION_RAW_POINTER_OFFSET = 20;
constexpr uint32_t MAX_SECTION_HEADERS = 819;       // 819 x 40 bytes fit the work buffer

// The driver header area: 144 bytes at offset 128 of a driver image, marked by its first value.
constexpr uint32_t DRIVER_HEADER_OFFSET = 128;
constexpr uint32_t DRIVER_HEADER_SIZE = 144;
constexpr uint32_t DRIVER_HEADER_MAGIC = 0x82C8851F;
constexpr int32_t DRIVER_HEADER_MIN_LFANEW = DRIVER_HEADER_OFFSET + DRIVER_HEADER_SIZE;
constexpr uint8_t INIT_SECTION_NAME[] = {'I', 'N', 'I', 'T', 0};

// Resources. The signature resource is RT_RCDATA, integer id 729, 128 bytes.
constexpr uint32_t RESOURCE_DIRECTORY_SIZE = 16;
constexpr uint32_t RESOURCE_DIRECTORY_NAMED_COUNT_OFFSET = 12;
constexpr uint32_t RESOURCE_DIRECTORY_ID_COUNT_OFFSET = 14;
constexpr uint32_t RESOURCE_ENTRY_SIZE = 8;         // Name, OffsetToData
constexpr uint32_t RESOURCE_ENTRY_DATA_OFFSET = 4;
constexpr uint32_t RESOURCE_HIGH_BIT = 0x80000000;  // string name / subdirectory
constexpr uint32_t MAX_RESOURCE_ENTRIES = 4096;     // 4096 x 8 bytes fill the work buffer
constexpr uint32_t RESOURCE_DATA_ENTRY_SIZE = 16;   // OffsetToData, Size, CodePage, Reserved
constexpr uint32_t RESOURCE_DATA_ENTRY_SIZE_OFFSET = 4;
constexpr uint16_t SIGNATURE_RESOURCE_TYPE = 10;    // RT_RCDATA
constexpr uint16_t SIGNATURE_RESOURCE_ID = 729;
constexpr uint32_t SIGNATURE_RESOURCE_SIZE = 128;

// The certificate table.
constexpr uint32_t WIN_CERTIFICATE_HEADER_SIZE = 8;  // dwLength, wRevision, wCertificateType
constexpr uint32_t WIN_CERTIFICATE_TYPE_OFFSET = 6;
constexpr uint16_t CERT_TYPE_OWN = 0xF000;
constexpr uint32_t CERT_ALIGNMENT = 8;
constexpr uint32_t MAX_CERT_ENTRIES = 256;
constexpr uint32_t MAX_CERT_INDEX = 65535;

// The trailing signature block.
constexpr uint32_t TRAILING_BLOCK_SIZE = 664;
constexpr uint8_t TRAILING_MAGIC[4] = {'o', 'l', 'W', 'c'};
constexpr uint32_t TRAILING_KEY_VERSION_OFFSET = 132;
constexpr uint32_t TRAILING_SIGNATURE_OFFSET = 144;
constexpr uint32_t TRAILING_SIGNATURE_SIZE = 512;
constexpr uint32_t TRAILING_END_MAGIC_OFFSET = 660;
constexpr uint8_t TRAILING_END_MAGIC[4] = {'=', '8', '2', 'b'};

// Buffers.
constexpr uint32_t MAX_TRAILING_RANGES = 5;         // driver area, CheckSum, directory, signature, end
constexpr uint32_t IMAGE_WORK_BUFFER_SIZE = 32768;
constexpr uint32_t HEADER_CACHE_SIZE = 16384;

struct IMAGEINFO {
  uint32_t checksumFieldOffset;  // optional header + 64
  uint32_t certDirEntryOffset;   // optional header + 128 (PE32) or + 144 (PE32+)
  uint32_t certTableOffset;      // a file offset; 0 without a certificate table
  uint32_t checksum;             // the header's CheckSum value
  uint32_t certTableSize;        // 0 without a certificate table
  uint32_t resourceRootOffset;   // nonzero: resourceSignature holds the signature resource
  uint8_t resourceSignature[SIGNATURE_RESOURCE_SIZE];
  uint8_t isPE32Plus;
  uint8_t isNative;
  uint8_t hasInitSection;
  uint32_t driverHeaderOffset;   // 128 when the driver header area is present, else 0
  // Set by LocateTrailingBlock only when it finds a block.
  uint32_t trailingSignatureOffset;
  uint32_t trailingSignatureLength;
  uint32_t trailingBlockEnd;
  uint32_t headersEnd;           // the section table's offset, plus the headers read
};

struct CERTENTRY {
  uint32_t offset;  // from the start of the certificate table
  uint32_t length;  // dwLength
  uint16_t type;    // wCertificateType
  uint16_t index;
};
static_assert(sizeof(CERTENTRY) == 12, "CERTENTRY layout");

// One opened image: one malloc block, released by the caller with free().
struct IMAGEOBJ {
  HANDLE file;  // the caller's; never closed here
  IMAGEINFO info;
  uint64_t checksumSum;
  uint32_t checksumOddByte;
  uint32_t certCount;
  uint32_t nextCertIndex;
  CERTENTRY certEntries[MAX_CERT_ENTRIES];
  uint8_t buffer[IMAGE_WORK_BUFFER_SIZE];  // shared scratch of every operation below
  uint8_t certPadding[CERT_ALIGNMENT];
  uint32_t certPaddingCount;
};

// The read cache of ParseImageHeaders: one window of at most `capacity` consecutive bytes.
struct HEADERREADER {
  HANDLE file;
  uint64_t cacheStart;
  uint32_t cacheLength;
  uint64_t fileSize;
  uint8_t* cache;
  uint32_t capacity;
};

// Reports a failed allocation as the design wants it: last error 8, then a system error.
#define REPORT_OUT_OF_MEMORY(sourceFile) \
  (SetLastError(ERROR_NOT_ENOUGH_MEMORY), REPORT_SYS_ERROR(sourceFile, L"申请内存失败"))

// --- Reading -----------------------------------------------------------------------------

// Seeks from the beginning of the file. Reports "SetFilePointerEx()失败".
int SeekTo(HANDLE file, uint64_t offset);
// Reads exactly length bytes at the current position. Reports "ReadFile()失败" or, for a short
// read, application error 1 "文件长度不足".
int ReadExact(HANDLE file, void* destination, uint32_t length);
// Reads through the cache. A request reaching past the file size reports application error 1
// "文件缺失" before anything is read.
int ReadAt(HEADERREADER* reader, uint64_t offset, void* destination, uint32_t length);

// --- The image reader --------------------------------------------------------------------

// Makes the image object: headers, certificate-table walk, signature resource. Null after a
// reported failure. The caller frees the object and closes the handle.
IMAGEOBJ* OpenImage(HANDLE file);
// Fills every field of info except the trailing-block fields. scratch is 32768 bytes.
int ParseImageHeaders(uint8_t* scratch, HANDLE file, IMAGEINFO* info);
// The first integer-id entry of the directory at directoryOffset whose id is `id` (0: any
// integer id); points into scratch until its next use. Null when absent or unreadable.
const uint8_t* FindResourceEntry(HEADERREADER* reader, uint8_t* scratch, uint32_t directoryOffset,
                                 uint16_t id);
// The file offset of [rva, rva + length) in the section that holds it, or 0 after a reported
// system error ("资源数据超出了节范围" or "资源长度超出了节尺寸").
uint32_t RvaToFileOffset(const uint8_t* sectionTable, uint32_t sectionCount, uint32_t rva,
                         uint32_t length);
// Fills certEntries and certCount from certTableOffset and certTableSize (both nonzero).
int WalkCertificateTable(IMAGEOBJ* image);
// Reads one WIN_CERTIFICATE header (headerOnly) or the whole entry. *size (optional): capacity
// in, bytes stored or needed out (0 after a read failure). A whole entry always needs room for
// at least its 8-byte header, which is stored even when dwLength claims less.
int ReadCertificate(void* destination, HANDLE file, uint64_t offset, int headerOnly,
                    uint32_t* size);

// --- The signature containers ------------------------------------------------------------

// Stores the index of every table entry in table order.
int ListCertIndexes(IMAGEOBJ* image, uint32_t indexes[MAX_CERT_ENTRIES], uint32_t* count);
// Reads the WIN_CERTIFICATE header of the entry with that index.
int ReadCertHeader(IMAGEOBJ* image, uint32_t index, uint8_t header[WIN_CERTIFICATE_HEADER_SIZE]);
// Reads the whole entry into destination and its padding up to the next multiple of 8 into the
// object. *size: capacity in; entry length plus padding length out on success; the length
// needed after "缓冲区不足"; 0 after a read failure; unchanged for an unknown index.
int ReadCertEntry(IMAGEOBJ* image, uint32_t index, void* destination, uint32_t* size);
// True when the padding read by the last ReadCertEntry is all zero bytes.
bool CertPaddingIsZero(const IMAGEOBJ* image);
// Leaves in indexes the entries of type 0xF000, in table order.
int ListOwnCertEntries(uint32_t indexes[MAX_CERT_ENTRIES], uint32_t* count, IMAGEOBJ* image);
// Looks for the trailing block just before the certificate table (or at the end of the file).
// A valid block is copied to block, sets *found = 1 and the trailing-block fields of info; no
// valid block is a success with *found unchanged.
int LocateTrailingBlock(IMAGEOBJ* image, uint8_t block[TRAILING_BLOCK_SIZE], int* found);

// --- The image digests -------------------------------------------------------------------

// Each digest reads the whole covered stretch once through the object's work buffer, so an
// image opened once can be digested repeatedly to time a walk.
constexpr uint32_t CODE_DIGEST_STOPPED = 17;      // a callback answered 0
constexpr uint32_t CODE_RANGE_TOO_LONG = 8;       // a range to read or zero-fill exceeds the buffer
constexpr uint32_t CODE_RANGE_OUT_OF_ORDER = 1;   // a range starts before the end of the last one

struct DIGESTRANGE {
  uint64_t offset;
  uint32_t length;   // 0 ends the walk at offset
  int32_t zeroFill;  // the digest sees length zero bytes in place of the range
  int32_t noRead;    // the range's bytes are not read (and not summed)
};

// Digest and sum callbacks: answer nonzero to go on.
typedef int (*DIGESTCALLBACK)(void* context, const void* data, uint32_t length);

// Feeds the file to digest (and sum, optional) in chunks of the work buffer, treating the
// ranges as they say. The ranges must be ascending and must not overlap; a range that starts
// before the end of the one before, or a walk that ends past the file's end, is refused with
// application error 1 "跳过块的位置不是递增的" — only a malformed file has one.
int WalkImage(IMAGEOBJ* image, const DIGESTRANGE* ranges, uint32_t rangeCount,
              DIGESTCALLBACK digest, void* digestContext, DIGESTCALLBACK sum, void* sumContext,
              uint64_t* fileSize);
// The same walk into SHA-256, without a sum; special ranges are never read.
int WalkImageSha256(IMAGEOBJ* image, const DIGESTRANGE* ranges, uint32_t rangeCount,
                    SHA256CTX* context, uint64_t* fileSize);
// The sum callback of the image checksum; context is the IMAGEOBJ.
int ChecksumUpdate(void* context, const void* data, uint32_t length);
uint32_t ChecksumFinish(const IMAGEOBJ* image, uint64_t fileSize);

// MD5 for an own certificate entry: the file without the CheckSum field, the directory entry and
// the own entries, then the attribute list. *checksumMatches = computed checksum equals header.
int CertEntryDigest(IMAGEOBJ* image, const uint8_t* attributes, uint32_t attributesLength,
                    uint8_t digest[MD5_DIGEST_SIZE], int* checksumMatches);
// MD5 for the signature resource: the file up to the resource root, CheckSum field and
// directory entry as zeros. Only when resourceRootOffset is nonzero.
int ResourceDigest(IMAGEOBJ* image, uint8_t digest[MD5_DIGEST_SIZE]);
// SHA-256 for the trailing block: the file up to the block's end with the driver header area
// (when it applies), CheckSum field, directory entry and block signature as zeros. Only after
// LocateTrailingBlock found a block.
int TrailingBlockDigest(IMAGEOBJ* image, uint8_t digest[SHA256_DIGEST_SIZE]);
