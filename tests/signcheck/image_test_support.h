// Shared pieces of the image tests: temporary image files, the signed fixtures, a watch on the
// error reports, and small hand-made PE images.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "signcheck/image.h"

using Bytes = std::vector<uint8_t>;

void StoreLe16(Bytes& bytes, size_t offset, uint16_t value);
void StoreLe32(Bytes& bytes, size_t offset, uint32_t value);
uint32_t FetchLe32(const Bytes& bytes, size_t offset);

// A signed fixture of the build, from bin/signcheck/.
Bytes LoadFixture(const std::string& name);
// The hex digest the signer wrote beside a fixture (its first word).
std::string LoadFixtureDigest(const std::string& name);
std::string Hex(const uint8_t* bytes, size_t length);

// Bytes written to a temporary file and kept open; closed and deleted at the end.
class TempImage {
 public:
  explicit TempImage(const Bytes& bytes);
  ~TempImage();
  TempImage(const TempImage&) = delete;
  TempImage& operator=(const TempImage&) = delete;
  HANDLE handle() const { return handle_; }
  // Replaces the whole content, so that one file serves many images.
  void Rewrite(const Bytes& bytes);

 private:
  std::wstring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

struct FreeImage {
  void operator()(IMAGEOBJ* image) const { free(image); }
};
using ImagePtr = std::unique_ptr<IMAGEOBJ, FreeImage>;

// An image opened from bytes, with the file it lives in.
struct OpenedImage {
  explicit OpenedImage(const Bytes& bytes) : file(bytes), image(OpenImage(file.handle())) {}
  TempImage file;
  ImagePtr image;
};

// Counts the reports made while it lives and keeps the fields of the last one.
class ReportWatch {
 public:
  ReportWatch();
  ~ReportWatch();
  ReportWatch(const ReportWatch&) = delete;
  ReportWatch& operator=(const ReportWatch&) = delete;
  int count() const;
  void Reset();
  uint32_t code() const;
  std::wstring source() const;    // e.g. L"RUZozozUre"
  std::wstring category() const;  // L"SYS" or L"APP"
  std::wstring message() const;   // the whole message; a system error carries "--" and more
  const std::vector<std::wstring>& messages() const;  // of every report, in order
};

// A hand-made image: headers as given, the rest of the file zeros.
struct SECTIONLAYOUT {
  const char* name;
  uint32_t virtualAddress, virtualSize, rawPointer, rawSize;
};
struct IMAGELAYOUT {
  int32_t lfanew = 0x80;
  uint16_t magic = OPTIONAL_MAGIC_PE32;
  uint16_t optionalSize = OPTIONAL_READ_SIZE_PE32;
  uint16_t subsystem = 2;  // GUI
  int sectionCountField = -1;  // -1: sections.size()
  std::vector<SECTIONLAYOUT> sections;
  uint32_t resourceRva = 0, resourceSize = 0;
  uint32_t certOffset = 0, certSize = 0;
  uint32_t checksum = 0;
  bool driverMarker = false;
  size_t fileSize = 0x400;
};
Bytes BuildImage(const IMAGELAYOUT& layout);
uint32_t OptionalHeaderOffset(const IMAGELAYOUT& layout);

// The resource tree RT_RCDATA / 729 / one language / data, for a section at rva; placed at
// the section's raw start. Its data (128 bytes of 0xA5 by default) follows the data entry.
struct RESOURCELAYOUT {
  bool languageNamed = false;  // the language entry has a string name
  uint32_t dataSize = SIGNATURE_RESOURCE_SIZE;
  uint16_t id = SIGNATURE_RESOURCE_ID;
};
constexpr uint32_t RESOURCE_TREE_DATA_OFFSET = 0x60;
Bytes BuildResourceTree(uint32_t rva, const RESOURCELAYOUT& layout);

// Appends a certificate-table entry (table at the end of the file, 8-aligned) and updates the
// directory entry of the image; content is a pattern of `contentLength` bytes.
void AppendCertEntry(Bytes& image, uint16_t type, uint32_t contentLength);
// The file offset of the certificate directory entry of a real image.
size_t CertDirectoryOffset(const Bytes& image);
