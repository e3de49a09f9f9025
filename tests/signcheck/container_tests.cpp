// The signature containers: the trailing block's place and checks, the own entries with their
// padding, and the buffer handshake of ReadCertEntry.
#include <gtest/gtest.h>

#include "signcheck/signature_record.h"
#include "image_test_support.h"

namespace {

struct TRAILINGCASE {
  const char* fixture;
  bool found;
};

class TrailingBlockCase : public ::testing::TestWithParam<TRAILINGCASE> {};

TEST_P(TrailingBlockCase, IsFoundOnlyWhenWhole) {
  const TRAILINGCASE& c = GetParam();
  const Bytes bytes = LoadFixture(c.fixture);
  OpenedImage opened(bytes);
  ASSERT_TRUE(opened.image);
  ReportWatch reports;
  uint8_t block[TRAILING_BLOCK_SIZE];
  int found = 0;
  ASSERT_TRUE(LocateTrailingBlock(opened.image.get(), block, &found));
  EXPECT_EQ(found, c.found ? 1 : 0);
  EXPECT_EQ(reports.count(), 0);
  if (!c.found) return;
  // Immediately before the certificate table, or at the very end without one.
  const IMAGEINFO& info = opened.image->info;
  const uint32_t end = info.certTableSize ? info.certTableOffset : uint32_t(bytes.size());
  EXPECT_EQ(info.trailingBlockEnd, end);
  EXPECT_EQ(info.trailingSignatureOffset, end - TRAILING_BLOCK_SIZE + TRAILING_SIGNATURE_OFFSET);
  EXPECT_EQ(info.trailingSignatureLength, TRAILING_SIGNATURE_SIZE);
  EXPECT_EQ(0, memcmp(block, &bytes[end - TRAILING_BLOCK_SIZE], TRAILING_BLOCK_SIZE));
}

INSTANTIATE_TEST_SUITE_P(
    Place, TrailingBlockCase,
    ::testing::Values(TRAILINGCASE{"trailing.exe", true}, TRAILINGCASE{"trailing_cert.exe", true},
                      TRAILINGCASE{"trailing64.exe", true},
                      TRAILINGCASE{"driver_init_signed.sys", true},
                      TRAILINGCASE{"trailing_v2.exe", false},
                      TRAILINGCASE{"trailing_magic.exe", false},
                      TRAILINGCASE{"trailing_endmagic.exe", false},
                      TRAILINGCASE{"fixture_exe.exe", false}, TRAILINGCASE{"entry.dll", false}),
    [](const ::testing::TestParamInfo<TRAILINGCASE>& info) {
      std::string name = info.param.fixture;
      for (char& ch : name) {
        if (ch == '.') ch = '_';
      }
      return name;
    });

// A file shorter than headersEnd + 664 has no room for a block, whatever its end holds.
TEST(TrailingBlock, NeedsRoomAfterTheHeaders) {
  IMAGELAYOUT layout;
  Bytes image = BuildImage(layout);
  const uint32_t headersEnd = OptionalHeaderOffset(layout) + layout.optionalSize;
  image.resize(headersEnd + TRAILING_BLOCK_SIZE - 1);
  memcpy(&image[image.size() - TRAILING_BLOCK_SIZE], TRAILING_MAGIC, 4);
  memcpy(&image[image.size() - 4], TRAILING_END_MAGIC, 4);
  StoreLe16(image, image.size() - TRAILING_BLOCK_SIZE + TRAILING_KEY_VERSION_OFFSET, 1);
  OpenedImage opened(image);
  ASSERT_TRUE(opened.image);
  uint8_t block[TRAILING_BLOCK_SIZE];
  int found = 0;
  ASSERT_TRUE(LocateTrailingBlock(opened.image.get(), block, &found));
  EXPECT_EQ(found, 0);
}

TEST(OwnEntries, ListsOnlyType0xF000InTableOrder) {
  struct LISTCASE {
    const char* fixture;
    uint32_t own;
  };
  for (const LISTCASE& c : {LISTCASE{"with_pkcs.exe", 0}, LISTCASE{"entry.dll", 1},
                            LISTCASE{"fixture_dll.dll", 0}}) {
    OpenedImage opened(LoadFixture(c.fixture));
    ASSERT_TRUE(opened.image) << c.fixture;
    uint32_t indexes[MAX_CERT_ENTRIES];
    uint32_t count = 99;
    ASSERT_TRUE(ListOwnCertEntries(indexes, &count, opened.image.get())) << c.fixture;
    EXPECT_EQ(count, c.own) << c.fixture;
  }
  Bytes image = LoadFixture("with_pkcs.exe");
  AppendCertEntry(image, CERT_TYPE_OWN, 16);
  AppendCertEntry(image, 2, 16);
  AppendCertEntry(image, CERT_TYPE_OWN, 16);
  OpenedImage opened(image);
  ASSERT_TRUE(opened.image);
  uint32_t indexes[MAX_CERT_ENTRIES];
  uint32_t count = 0;
  ASSERT_TRUE(ListOwnCertEntries(indexes, &count, opened.image.get()));
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(indexes[0], 1u);
  EXPECT_EQ(indexes[1], 3u);
}

// Five padding bytes follow an entry that ends 3 bytes past an 8-byte boundary; they are
// counted in the size and checked, but not stored.
TEST(OwnEntries, CountsAndChecksThePadding) {
  for (const char* fixture : {"entry_pad5.dll", "entry_badpad.dll"}) {
    OpenedImage opened(LoadFixture(fixture));
    ASSERT_TRUE(opened.image) << fixture;
    uint8_t entry[SIGNCHECK_WORK_BUFFER_SIZE];
    uint32_t size = sizeof entry;
    ASSERT_TRUE(ReadCertEntry(opened.image.get(), 0, entry, &size)) << fixture;
    const uint32_t length = opened.image->certEntries[0].length;
    EXPECT_EQ(length % 8, 3u);
    EXPECT_EQ(size, length + 5) << fixture;
    EXPECT_EQ(CertPaddingIsZero(opened.image.get()), std::string(fixture) == "entry_pad5.dll");
  }
}

TEST(OwnEntries, TooSmallBufferHandsBackTheLengthNeeded) {
  Bytes image = LoadFixture("fixture_dll.dll");
  AppendCertEntry(image, CERT_TYPE_OWN, 9000 - WIN_CERTIFICATE_HEADER_SIZE);
  OpenedImage opened(image);
  ASSERT_TRUE(opened.image);
  ReportWatch reports;
  static uint8_t entry[SIGNCHECK_WORK_BUFFER_SIZE];
  uint32_t size = sizeof entry;
  EXPECT_FALSE(ReadCertEntry(opened.image.get(), 0, entry, &size));
  EXPECT_EQ(size, 9000u);
  EXPECT_EQ(reports.count(), 1);
  EXPECT_EQ(reports.code(), 5u);
  EXPECT_EQ(reports.message(), L"缓冲区不足");
}

TEST(OwnEntries, UnknownIndexIsReported) {
  OpenedImage opened(LoadFixture("entry.dll"));
  ASSERT_TRUE(opened.image);
  ReportWatch reports;
  uint8_t entry[64];
  uint32_t size = sizeof entry;
  uint8_t header[WIN_CERTIFICATE_HEADER_SIZE];
  EXPECT_FALSE(ReadCertEntry(opened.image.get(), 7, entry, &size));
  EXPECT_EQ(size, sizeof entry);
  EXPECT_FALSE(ReadCertHeader(opened.image.get(), 7, header));
  EXPECT_EQ(reports.count(), 2);
  EXPECT_EQ(reports.code(), 2u);
  EXPECT_EQ(reports.message(), L"没有找到指定的签名信息");
}

// The real record written by the signer parses with every attribute it was given.
TEST(OwnEntries, SignedRecordParses) {
  OpenedImage opened(LoadFixture("entry.dll"));
  ASSERT_TRUE(opened.image);
  static uint8_t entry[SIGNCHECK_WORK_BUFFER_SIZE];
  uint32_t size = sizeof entry;
  ASSERT_TRUE(ReadCertEntry(opened.image.get(), 0, entry, &size));
  SIGNINFO info;
  const uint8_t* signature = nullptr;
  const uint8_t* attributes = nullptr;
  int32_t signatureLength = 0, attributesLength = 0;
  ASSERT_TRUE(ParseSignatureRecord(entry, size, &info, &signature, &signatureLength, &attributes,
                                   &attributesLength));
  EXPECT_EQ(info.kind, SIGKIND_RECORD2);
  EXPECT_EQ(signatureLength, 128);
  EXPECT_EQ(signature, entry + 12);
  ASSERT_TRUE(info.text4 && info.text5);
  EXPECT_STREQ(info.text4, L"Tamsel");
  EXPECT_STREQ(info.text5, L"测试签名");
  EXPECT_EQ(info.text6, nullptr);
  EXPECT_EQ(info.value8, 0x1122334455667788ull);
  EXPECT_EQ(info.expiry, 0x01DC000000000000ull);
  EXPECT_EQ(attributes + attributesLength, entry + opened.image->certEntries[0].length);
}

}  // namespace
