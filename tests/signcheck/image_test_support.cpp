#include "image_test_support.h"

#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>

#include "errobj/errobj.h"

void StoreLe16(Bytes& bytes, size_t offset, uint16_t value) {
  bytes.at(offset) = uint8_t(value);
  bytes.at(offset + 1) = uint8_t(value >> 8);
}

void StoreLe32(Bytes& bytes, size_t offset, uint32_t value) {
  StoreLe16(bytes, offset, uint16_t(value));
  StoreLe16(bytes, offset + 2, uint16_t(value >> 16));
}

uint32_t FetchLe32(const Bytes& bytes, size_t offset) {
  return uint32_t(bytes.at(offset)) | uint32_t(bytes.at(offset + 1)) << 8 |
         uint32_t(bytes.at(offset + 2)) << 16 | uint32_t(bytes.at(offset + 3)) << 24;
}

Bytes LoadFixture(const std::string& name) {
  std::ifstream in("signcheck/" + name, std::ios::binary);
  if (!in) {
    fprintf(stderr, "missing fixture %s\n", name.c_str());
    abort();
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string LoadFixtureDigest(const std::string& name) {
  std::ifstream in("signcheck/" + name + ".digest");
  std::string digest;
  in >> digest;
  return digest;
}

std::string Hex(const uint8_t* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

TempImage::TempImage(const Bytes& bytes) {
  wchar_t directory[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, directory);
  GetTempFileNameW(directory, L"img", 0, path);
  path_ = path;
  handle_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  Rewrite(bytes);
}

void TempImage::Rewrite(const Bytes& bytes) {
  SetFilePointer(handle_, 0, nullptr, FILE_BEGIN);
  DWORD written = 0;
  if (!bytes.empty()) WriteFile(handle_, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  SetEndOfFile(handle_);
}

TempImage::~TempImage() {
  CloseHandle(handle_);
  DeleteFileW(path_.c_str());
}

namespace {

struct WATCHSTATE {
  int count = 0;
  uint32_t code = 0;
  std::wstring line;
  std::vector<std::wstring> messages;
};
WATCHSTATE watch;

// Field `index` of the record line: flag|date|time|source|line|module|category|code|message.
std::wstring Field(int index) {
  size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = watch.line.find(L'|', start);
    if (start == std::wstring::npos) return L"";
    ++start;
  }
  if (index == 8) return watch.line.substr(start);
  return watch.line.substr(start, watch.line.find(L'|', start) - start);
}

void Observe(uint32_t code, const wchar_t* text) {
  ++watch.count;
  watch.code = code;
  watch.line = text ? text : L"";
  watch.messages.push_back(Field(8));
}

}  // namespace

ReportWatch::ReportWatch() {
  Reset();
  SetErrorObserver(Observe);
}
ReportWatch::~ReportWatch() { SetErrorObserver(nullptr); }
int ReportWatch::count() const { return watch.count; }
void ReportWatch::Reset() { watch = WATCHSTATE(); }
uint32_t ReportWatch::code() const { return watch.code; }
std::wstring ReportWatch::source() const { return Field(3); }
std::wstring ReportWatch::category() const { return Field(6); }
std::wstring ReportWatch::message() const { return Field(8); }
const std::vector<std::wstring>& ReportWatch::messages() const { return watch.messages; }

uint32_t OptionalHeaderOffset(const IMAGELAYOUT& layout) {
  return uint32_t(layout.lfanew) + OPTIONAL_HEADER_OFFSET;
}

Bytes BuildImage(const IMAGELAYOUT& layout) {
  Bytes image(layout.fileSize);
  StoreLe16(image, 0, DOS_MAGIC);
  StoreLe32(image, DOS_LFANEW_OFFSET, uint32_t(layout.lfanew));
  if (layout.driverMarker) StoreLe32(image, DRIVER_HEADER_OFFSET, DRIVER_HEADER_MAGIC);
  if (layout.lfanew <= 0 || size_t(layout.lfanew) + 24 > image.size()) return image;
  const size_t pe = size_t(layout.lfanew);
  StoreLe32(image, pe, PE_SIGNATURE);
  const uint16_t sectionCount =
      layout.sectionCountField >= 0 ? uint16_t(layout.sectionCountField) : uint16_t(layout.sections.size());
  StoreLe16(image, pe + 4, layout.magic == OPTIONAL_MAGIC_PE32PLUS ? 0x8664 : 0x14C);  // Machine
  StoreLe16(image, pe + 4 + FILE_HEADER_SECTION_COUNT_OFFSET, sectionCount);
  StoreLe16(image, pe + 4 + FILE_HEADER_OPTIONAL_SIZE_OFFSET, layout.optionalSize);
  const size_t optional = OptionalHeaderOffset(layout);
  StoreLe16(image, optional, layout.magic);
  StoreLe32(image, optional + OPTIONAL_CHECKSUM_OFFSET, layout.checksum);
  StoreLe16(image, optional + OPTIONAL_SUBSYSTEM_OFFSET, layout.subsystem);
  const bool plus = layout.magic == OPTIONAL_MAGIC_PE32PLUS;
  const size_t resource =
      optional + (plus ? OPTIONAL_RESOURCE_DIR_OFFSET_PE32PLUS : OPTIONAL_RESOURCE_DIR_OFFSET_PE32);
  const size_t cert =
      optional + (plus ? OPTIONAL_CERT_DIR_OFFSET_PE32PLUS : OPTIONAL_CERT_DIR_OFFSET_PE32);
  // Directory entries beyond the declared optional header are left out, as in a real file.
  if (resource + 8 <= optional + layout.optionalSize) {
    StoreLe32(image, resource, layout.resourceRva);
    StoreLe32(image, resource + 4, layout.resourceSize);
  }
  if (cert + 8 <= optional + layout.optionalSize) {
    StoreLe32(image, cert, layout.certOffset);
    StoreLe32(image, cert + 4, layout.certSize);
  }
  size_t header = optional + layout.optionalSize;
  for (const SECTIONLAYOUT& section : layout.sections) {
    if (header + SECTION_HEADER_SIZE > image.size()) break;
    memcpy(&image[header], section.name, strnlen(section.name, 8));
    StoreLe32(image, header + SECTION_VIRTUAL_SIZE_OFFSET, section.virtualSize);
    StoreLe32(image, header + SECTION_VIRTUAL_ADDRESS_OFFSET, section.virtualAddress);
    StoreLe32(image, header + SECTION_RAW_SIZE_OFFSET, section.rawSize);
    StoreLe32(image, header + SECTION_RAW_POINTER_OFFSET, section.rawPointer);
    header += SECTION_HEADER_SIZE;
  }
  return image;
}

Bytes BuildResourceTree(uint32_t rva, const RESOURCELAYOUT& layout) {
  Bytes tree(0x100);
  // Root (types) at 0x00: one id entry, RT_RCDATA -> subdirectory at 0x18.
  StoreLe16(tree, 0x0E, 1);
  StoreLe32(tree, 0x10, SIGNATURE_RESOURCE_TYPE);
  StoreLe32(tree, 0x14, RESOURCE_HIGH_BIT | 0x18);
  // Ids at 0x18: one id entry -> subdirectory at 0x30.
  StoreLe16(tree, 0x18 + 0x0E, 1);
  StoreLe32(tree, 0x28, layout.id);
  StoreLe32(tree, 0x2C, RESOURCE_HIGH_BIT | 0x30);
  // Languages at 0x30: one entry, by name (string at 0xE0) or language 0x409 -> data entry 0x48.
  StoreLe16(tree, 0x30 + (layout.languageNamed ? 0x0C : 0x0E), 1);
  StoreLe32(tree, 0x40, layout.languageNamed ? RESOURCE_HIGH_BIT | 0xE0 : 0x409);
  StoreLe32(tree, 0x44, 0x48);
  // Data entry at 0x48: the data follows at 0x60.
  StoreLe32(tree, 0x48, rva + RESOURCE_TREE_DATA_OFFSET);
  StoreLe32(tree, 0x4C, layout.dataSize);
  for (uint32_t i = 0; i < SIGNATURE_RESOURCE_SIZE / 4; ++i) {
    StoreLe32(tree, RESOURCE_TREE_DATA_OFFSET + 4 * i, 0xA5A5A5A5);
  }
  // The language name: a count of 2 characters.
  StoreLe16(tree, 0xE0, 2);
  return tree;
}

size_t CertDirectoryOffset(const Bytes& image) {
  const size_t optional = FetchLe32(image, DOS_LFANEW_OFFSET) + OPTIONAL_HEADER_OFFSET;
  const bool plus = image.at(optional) == 0x0B && image.at(optional + 1) == 0x02;
  return optional + (plus ? OPTIONAL_CERT_DIR_OFFSET_PE32PLUS : OPTIONAL_CERT_DIR_OFFSET_PE32);
}

void AppendCertEntry(Bytes& image, uint16_t type, uint32_t contentLength) {
  const size_t directory = CertDirectoryOffset(image);
  uint32_t tableOffset = FetchLe32(image, directory);
  uint32_t tableSize = FetchLe32(image, directory + 4);
  if (tableOffset == 0 || tableSize == 0) {
    image.resize((image.size() + 7) & ~size_t(7));
    tableOffset = uint32_t(image.size());
    tableSize = 0;
  }
  const uint32_t length = WIN_CERTIFICATE_HEADER_SIZE + contentLength;
  const size_t entry = image.size();
  image.resize(entry + ((length + 7) & ~7u));
  StoreLe32(image, entry, length);
  StoreLe16(image, entry + 4, 0x0100);
  StoreLe16(image, entry + WIN_CERTIFICATE_TYPE_OFFSET, type);
  for (uint32_t i = 0; i < contentLength; ++i) image[entry + 8 + i] = uint8_t(i * 7 + 3);
  StoreLe32(image, directory, tableOffset);
  StoreLe32(image, directory + 4, tableSize + ((length + 7) & ~7u));
}
