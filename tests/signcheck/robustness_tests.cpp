// Damaged copies of signed fixtures: truncated at every offset through the headers, the section
// table and the certificate table, and with every 32-bit length, count and offset field set to
// boundary values. Nothing may crash or hang, every failure is reported exactly once, and
// nothing that succeeds claims bytes from outside the file.
#include <gtest/gtest.h>

#include <set>

#include "signcheck/signature_record.h"
#include "image_test_support.h"

namespace {

// A resource lookup that finds nothing is reported, and the open goes on.
bool IsResourceLookupReport(const std::wstring& message) {
  return message == L"文件缺失" || message.rfind(L"资源数据超出了节范围--", 0) == 0 ||
         message.rfind(L"资源长度超出了节尺寸--", 0) == 0;
}

// Runs every operation the file verification uses, in its order, and checks the reports.
void Exercise(TempImage& file, const Bytes& bytes, const std::string& what) {
  SCOPED_TRACE(what);
  file.Rewrite(bytes);
  ReportWatch reports;
  ImagePtr opened(OpenImage(file.handle()));
  IMAGEOBJ* image = opened.get();
  // At most one tolerated lookup report, then (for a failed open) the one failure.
  const size_t tolerated =
      !reports.messages().empty() && IsResourceLookupReport(reports.messages()[0]) ? 1 : 0;
  if (!image) {
    ASSERT_EQ(reports.messages().size(), 1 + (reports.messages().size() > 1 ? tolerated : 0));
    return;
  }
  ASSERT_EQ(reports.messages().size(), tolerated);
  const uint64_t size = bytes.size();
  const IMAGEINFO& info = image->info;
  ASSERT_LT(info.resourceRootOffset, size);
  for (uint32_t i = 0; i < image->certCount; ++i) {
    ASSERT_LE(uint64_t(info.certTableOffset) + image->certEntries[i].offset +
                  WIN_CERTIFICATE_HEADER_SIZE, size);
  }

  // Each step: a failure reports once, a success reports nothing.
  auto step = [&reports](int ok) {
    EXPECT_EQ(reports.count(), ok ? 0 : 1);
    reports.Reset();
    return ok;
  };
  reports.Reset();
  if (info.resourceRootOffset) {
    uint8_t md5[MD5_DIGEST_SIZE];
    step(ResourceDigest(image, md5));
  }
  uint8_t block[TRAILING_BLOCK_SIZE];
  int found = 0;
  if (!step(LocateTrailingBlock(image, block, &found))) return;
  if (found) {
    ASSERT_LE(info.trailingBlockEnd, size);
    uint8_t sha[SHA256_DIGEST_SIZE];
    step(TrailingBlockDigest(image, sha));
  }
  uint32_t indexes[MAX_CERT_ENTRIES];
  uint32_t count = 0;
  if (!step(ListOwnCertEntries(indexes, &count, image)) || count == 0) return;
  static uint8_t entry[SIGNCHECK_WORK_BUFFER_SIZE];
  uint32_t entrySize = sizeof entry;
  if (!step(ReadCertEntry(image, indexes[0], entry, &entrySize))) return;
  SIGNINFO signInfo;
  const uint8_t* signature = nullptr;
  const uint8_t* attributes = nullptr;
  int32_t signatureLength = 0, attributesLength = 0;
  if (!step(ParseSignatureRecord(entry, entrySize, &signInfo, &signature, &signatureLength,
                                 &attributes, &attributesLength))) {
    return;
  }
  ASSERT_GE(signature, entry);
  ASSERT_LE(attributes + attributesLength, entry + sizeof entry);
  uint8_t md5[MD5_DIGEST_SIZE];
  int matches = 0;
  step(CertEntryDigest(image, attributes, uint32_t(attributesLength), md5, &matches));
}

// The end of the section table as the file declares it, whether or not the reader needs it.
size_t SectionTableEnd(const Bytes& bytes) {
  const size_t pe = FetchLe32(bytes, DOS_LFANEW_OFFSET);
  const size_t sections = bytes.at(pe + 6) | bytes.at(pe + 7) << 8;
  const size_t optionalSize = bytes.at(pe + 20) | bytes.at(pe + 21) << 8;
  return pe + OPTIONAL_HEADER_OFFSET + optionalSize + sections * SECTION_HEADER_SIZE;
}

// The offsets of the 32-bit fields worth damaging: the DOS header's e_lfanew, every aligned
// dword of the NT headers and the section table, of the resource tree's first bytes and of the
// certificate table (there in steps of 2, for the records' 16-bit fields).
std::set<size_t> FieldOffsets(const Bytes& bytes) {
  std::set<size_t> offsets = {DOS_LFANEW_OFFSET};
  OpenedImage opened(bytes);
  if (!opened.image) return offsets;
  const IMAGEINFO& info = opened.image->info;
  const size_t pe = FetchLe32(bytes, DOS_LFANEW_OFFSET);
  for (size_t offset = pe; offset + 4 <= SectionTableEnd(bytes); offset += 4) offsets.insert(offset);
  if (info.resourceRootOffset) {
    for (size_t offset = info.resourceRootOffset;
         offset < info.resourceRootOffset + 0x100 && offset + 4 <= bytes.size(); offset += 4) {
      offsets.insert(offset);
    }
  }
  // The records' 16-bit fields sit at every even offset, so the table is damaged in steps of 2.
  for (size_t offset = info.certTableOffset;
       info.certTableSize && offset + 4 <= uint64_t(info.certTableOffset) + info.certTableSize;
       offset += 2) {
    offsets.insert(offset);
  }
  return offsets;
}

class Robustness : public ::testing::TestWithParam<const char*> {};

TEST_P(Robustness, TruncatedCopies) {
  const Bytes original = LoadFixture(GetParam());
  OpenedImage opened(original);
  ASSERT_TRUE(opened.image);
  const IMAGEINFO info = opened.image->info;
  TempImage file({});
  std::vector<size_t> lengths;
  for (size_t length = 0; length <= SectionTableEnd(original) + 8; ++length) lengths.push_back(length);
  for (size_t length = info.certTableOffset; info.certTableSize && length < original.size(); ++length) {
    lengths.push_back(length);
  }
  // The last bytes hold the trailing block when there is no table.
  for (size_t back = 1; back <= 16; ++back) lengths.push_back(original.size() - back);
  for (size_t length : lengths) {
    Exercise(file, Bytes(original.begin(), original.begin() + length),
             "length " + std::to_string(length));
    if (HasFatalFailure() || HasFailure()) return;
  }
}

TEST_P(Robustness, BoundaryValuesInEveryField) {
  const Bytes original = LoadFixture(GetParam());
  const uint32_t size = uint32_t(original.size());
  const uint32_t values[] = {0, 1, 7, 8, 0x7FFFFFFF, 0xFFFFFFF8, 0xFFFFFFFF, size - 1, size + 1};
  TempImage file({});
  for (size_t offset : FieldOffsets(original)) {
    for (uint32_t value : values) {
      Bytes damaged = original;
      StoreLe32(damaged, offset, value);
      Exercise(file, damaged, "offset " + std::to_string(offset) + " value " + std::to_string(value));
      if (HasFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Robustness,
                         ::testing::Values("entry.dll", "resource.dll", "trailing_cert.exe",
                                           "driver_init_signed.sys", "entry64.exe"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& ch : name) {
                             if (ch == '.') ch = '_';
                           }
                           return name;
                         });

}  // namespace
