// The image digests: against the digests the signer computed on its own, and which bytes each
// one covers, leaves out or zero-fills.
#include <gtest/gtest.h>

#include <string.h>

#include "signcheck/signature_record.h"
#include "image_test_support.h"

namespace {

struct ENTRYDIGEST {
  bool ok = false;
  std::string md5;
  int checksumMatches = -1;
};

// The MD5 of the first own entry of an image, with that entry's attributes.
ENTRYDIGEST EntryDigestOf(const Bytes& bytes) {
  ENTRYDIGEST result;
  OpenedImage opened(bytes);
  if (!opened.image) return result;
  uint32_t indexes[MAX_CERT_ENTRIES];
  uint32_t count = 0;
  if (!ListOwnCertEntries(indexes, &count, opened.image.get()) || count == 0) return result;
  static uint8_t entry[SIGNCHECK_WORK_BUFFER_SIZE];
  uint32_t size = sizeof entry;
  if (!ReadCertEntry(opened.image.get(), indexes[0], entry, &size)) return result;
  SIGNINFO info;
  const uint8_t* signature = nullptr;
  const uint8_t* attributes = nullptr;
  int32_t signatureLength = 0, attributesLength = 0;
  if (!ParseSignatureRecord(entry, size, &info, &signature, &signatureLength, &attributes,
                            &attributesLength)) {
    return result;
  }
  uint8_t md5[MD5_DIGEST_SIZE];
  result.ok = CertEntryDigest(opened.image.get(), attributes, uint32_t(attributesLength), md5,
                              &result.checksumMatches);
  result.md5 = Hex(md5, sizeof md5);
  return result;
}

std::string ResourceDigestOf(const Bytes& bytes) {
  OpenedImage opened(bytes);
  uint8_t md5[MD5_DIGEST_SIZE];
  if (!opened.image || !opened.image->info.resourceRootOffset ||
      !ResourceDigest(opened.image.get(), md5)) {
    return "";
  }
  return Hex(md5, sizeof md5);
}

std::string TrailingDigestOf(const Bytes& bytes) {
  OpenedImage opened(bytes);
  uint8_t block[TRAILING_BLOCK_SIZE];
  int found = 0;
  uint8_t sha[SHA256_DIGEST_SIZE];
  if (!opened.image || !LocateTrailingBlock(opened.image.get(), block, &found) || !found ||
      !TrailingBlockDigest(opened.image.get(), sha)) {
    return "";
  }
  return Hex(sha, sizeof sha);
}

Bytes Flipped(Bytes bytes, size_t offset) {
  bytes.at(offset) ^= 0x40;
  return bytes;
}

size_t ChecksumOffset(const Bytes& image) {
  return FetchLe32(image, DOS_LFANEW_OFFSET) + OPTIONAL_HEADER_OFFSET + OPTIONAL_CHECKSUM_OFFSET;
}

TEST(Digests, MatchTheSignersOwnComputation) {
  // entry_oddtail.dll ends 5 bytes after its own entry: its checksum input ends on an odd
  // byte, added once at the end.
  for (const char* fixture : {"entry.dll", "entry_pad5.dll", "entry_oddtail.dll", "entry64.exe"}) {
    const ENTRYDIGEST digest = EntryDigestOf(LoadFixture(fixture));
    ASSERT_TRUE(digest.ok) << fixture;
    EXPECT_EQ(digest.md5, LoadFixtureDigest(fixture)) << fixture;
    EXPECT_EQ(digest.checksumMatches, 1) << fixture;  // the signer set the CheckSum
  }
  EXPECT_EQ(ResourceDigestOf(LoadFixture("resource.dll")), LoadFixtureDigest("resource.dll"));
  for (const char* fixture : {"trailing.exe", "trailing_cert.exe", "trailing64.exe",
                              "driver_init_signed.sys", "driver_noinit_signed.sys"}) {
    EXPECT_EQ(TrailingDigestOf(LoadFixture(fixture)), LoadFixtureDigest(fixture)) << fixture;
  }
}

TEST(Digests, IgnoreTheCheckSumValue) {
  const Bytes entry = LoadFixture("entry.dll");
  const ENTRYDIGEST changed = EntryDigestOf(Flipped(entry, ChecksumOffset(entry)));
  EXPECT_EQ(changed.md5, LoadFixtureDigest("entry.dll"));
  EXPECT_EQ(changed.checksumMatches, 0);
  const Bytes resource = LoadFixture("resource.dll");
  EXPECT_EQ(ResourceDigestOf(Flipped(resource, ChecksumOffset(resource))),
            LoadFixtureDigest("resource.dll"));
  const Bytes trailing = LoadFixture("trailing.exe");
  EXPECT_EQ(TrailingDigestOf(Flipped(trailing, ChecksumOffset(trailing))),
            LoadFixtureDigest("trailing.exe"));
}

TEST(Digests, EntryDigestSkipsOwnEntriesButCoversOthers) {
  const std::string signedDigest = LoadFixtureDigest("entry.dll");
  Bytes withOwn = LoadFixture("entry.dll");
  AppendCertEntry(withOwn, CERT_TYPE_OWN, 53);
  EXPECT_EQ(EntryDigestOf(withOwn).md5, signedDigest);
  Bytes withPkcs = LoadFixture("entry.dll");
  AppendCertEntry(withPkcs, 2, 53);
  const ENTRYDIGEST other = EntryDigestOf(withPkcs);
  ASSERT_TRUE(other.ok);
  EXPECT_NE(other.md5, signedDigest);
  // A changed byte anywhere outside the skipped fields changes it: here the DOS stub.
  EXPECT_NE(EntryDigestOf(Flipped(LoadFixture("entry.dll"), 0x50)).md5, signedDigest);
}

TEST(Digests, ResourceDigestEndsAtTheResourceRoot) {
  const Bytes resource = LoadFixture("resource.dll");
  OpenedImage opened(resource);
  ASSERT_TRUE(opened.image);
  const uint32_t root = opened.image->info.resourceRootOffset;
  ASSERT_NE(root, 0u);
  const std::string signedDigest = LoadFixtureDigest("resource.dll");
  EXPECT_EQ(ResourceDigestOf(Flipped(resource, root)), signedDigest);
  EXPECT_EQ(ResourceDigestOf(Flipped(resource, resource.size() - 1)), signedDigest);
  EXPECT_NE(ResourceDigestOf(Flipped(resource, root - 1)), signedDigest);
}

TEST(Digests, TrailingDigestCoversTheBlockButNotItsSignature) {
  const Bytes image = LoadFixture("trailing_cert.exe");
  OpenedImage opened(image);
  ASSERT_TRUE(opened.image);
  uint8_t block[TRAILING_BLOCK_SIZE];
  int found = 0;
  ASSERT_TRUE(LocateTrailingBlock(opened.image.get(), block, &found) && found);
  const uint32_t end = opened.image->info.trailingBlockEnd;
  const uint32_t signature = opened.image->info.trailingSignatureOffset;
  const std::string signedDigest = LoadFixtureDigest("trailing_cert.exe");
  struct COVERCASE {
    const char* what;
    size_t offset;
    bool covered;
  };
  const COVERCASE cases[] = {
      {"first signature byte", signature, false},
      {"last signature byte", signature + TRAILING_SIGNATURE_SIZE - 1, false},
      {"time stamp", end - TRAILING_BLOCK_SIZE + 136, true},
      {"reserved after the signature", end - 8, true},
      {"end magic", end - 1, true},
      {"certificate table after the block", end + 9, false},
      {"a section byte", 0x400, true},
  };
  for (const COVERCASE& c : cases) {
    const std::string digest = TrailingDigestOf(Flipped(image, c.offset));
    if (c.what == std::string("end magic")) {
      EXPECT_EQ(digest, "") << c.what;  // the block is no longer found
    } else if (c.covered) {
      EXPECT_NE(digest, signedDigest) << c.what;
      EXPECT_NE(digest, "") << c.what;
    } else {
      EXPECT_EQ(digest, signedDigest) << c.what;
    }
  }
}

// The 144 bytes at 128 are zeros in the digest of a 32-bit native image with an INIT section,
// and covered as they are without the INIT section.
TEST(Digests, DriverHeaderAreaIsZeroFilledOnlyWithInit) {
  const Bytes init = LoadFixture("driver_init_signed.sys");
  const Bytes noinit = LoadFixture("driver_noinit_signed.sys");
  for (size_t offset : {size_t(DRIVER_HEADER_OFFSET + 4), size_t(DRIVER_HEADER_OFFSET + 143)}) {
    EXPECT_EQ(TrailingDigestOf(Flipped(init, offset)), LoadFixtureDigest("driver_init_signed.sys"));
    EXPECT_NE(TrailingDigestOf(Flipped(noinit, offset)),
              LoadFixtureDigest("driver_noinit_signed.sys"));
  }
  // The byte after the area is covered in both.
  EXPECT_NE(TrailingDigestOf(Flipped(init, DRIVER_HEADER_OFFSET + DRIVER_HEADER_SIZE)),
            LoadFixtureDigest("driver_init_signed.sys"));
}

struct RECORDER {
  std::vector<uint32_t> digestChunks;
  std::vector<uint32_t> sumChunks;
  Bytes digested;
};

int RecordDigest(void* context, const void* data, uint32_t length) {
  RECORDER* recorder = static_cast<RECORDER*>(context);
  recorder->digestChunks.push_back(length);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  recorder->digested.insert(recorder->digested.end(), bytes, bytes + length);
  return 1;
}

int RecordSum(void* context, const void*, uint32_t length) {
  static_cast<RECORDER*>(context)->sumChunks.push_back(length);
  return 1;
}

int Refuse(void*, const void*, uint32_t) { return 0; }

Bytes PatternImage(size_t size) {
  Bytes image = BuildImage(IMAGELAYOUT());
  image.resize(size);
  for (size_t i = 0x400; i < size; ++i) image[i] = uint8_t(i * 17 + 1);
  return image;
}

TEST(DigestWalk, ReadsTheGapRemainderFirstThenWholeBuffers) {
  IMAGELAYOUT layout;
  const uint32_t directory = OptionalHeaderOffset(layout) + OPTIONAL_CERT_DIR_OFFSET_PE32;
  const Bytes bytes = PatternImage(directory + DATA_DIRECTORY_ENTRY_SIZE + 32769);
  OpenedImage opened(bytes);
  ASSERT_TRUE(opened.image);
  const IMAGEINFO& info = opened.image->info;
  const DIGESTRANGE ranges[] = {{info.checksumFieldOffset, 4, 0, 1},
                                {info.certDirEntryOffset, 8, 1, 0}};
  RECORDER recorder;
  uint64_t fileSize = 0;
  ASSERT_TRUE(WalkImage(opened.image.get(), ranges, 2, RecordDigest, &recorder, RecordSum,
                        &recorder, &fileSize));
  EXPECT_EQ(fileSize, bytes.size());
  const std::vector<uint32_t> digestChunks = {info.checksumFieldOffset, 60, 8, 1, 32768};
  const std::vector<uint32_t> sumChunks = {info.checksumFieldOffset, 60, 8, 1, 32768};
  EXPECT_EQ(recorder.digestChunks, digestChunks);
  EXPECT_EQ(recorder.sumChunks, sumChunks);
  // Left out: the CheckSum field; zero-filled: the directory entry.
  Bytes expected(bytes.begin(), bytes.begin() + info.checksumFieldOffset);
  expected.insert(expected.end(), bytes.begin() + info.checksumFieldOffset + 4,
                  bytes.begin() + info.certDirEntryOffset);
  expected.insert(expected.end(), 8, 0);
  expected.insert(expected.end(), bytes.begin() + info.certDirEntryOffset + 8, bytes.end());
  EXPECT_EQ(recorder.digested, expected);
}

TEST(DigestWalk, RefusesBadRangeListsAndStoppedCallbacks) {
  const Bytes bytes = PatternImage(0x9000);
  OpenedImage opened(bytes);
  ASSERT_TRUE(opened.image);
  struct BADCASE {
    const char* name;
    std::vector<DIGESTRANGE> ranges;
    DIGESTCALLBACK digest;
    uint32_t code;
    const wchar_t* text;
  };
  const BADCASE cases[] = {
      {"descending", {{0x200, 8, 0, 0}, {0x100, 8, 0, 0}}, RecordDigest, 1,
       L"跳过块的位置不是递增的"},
      {"overlapping", {{0x200, 8, 0, 0}, {0x204, 8, 0, 0}}, RecordDigest, 1,
       L"跳过块的位置不是递增的"},
      {"past_the_end", {{0x8FFC, 8, 0, 1}}, RecordDigest, 1, L"跳过块的位置不是递增的"},
      {"read_longer_than_buffer", {{0x100, 32769, 0, 0}}, RecordDigest, 8,
       L"跳过块的长度超过缓冲区大小"},
      {"zero_fill_longer_than_buffer", {{0x100, 32769, 1, 1}}, RecordDigest, 8,
       L"跳过块的长度超过缓冲区大小"},
      {"callback_stops", {{0x100, 8, 0, 0}}, Refuse, 17, L"签名计算被终止"},
  };
  for (const BADCASE& c : cases) {
    RECORDER recorder;
    uint64_t fileSize = 0;
    ReportWatch reports;
    EXPECT_FALSE(WalkImage(opened.image.get(), c.ranges.data(), uint32_t(c.ranges.size()), c.digest,
                           &recorder, nullptr, nullptr, &fileSize))
        << c.name;
    EXPECT_EQ(reports.count(), 1) << c.name;
    EXPECT_EQ(reports.code(), c.code) << c.name;
    EXPECT_EQ(reports.message(), c.text) << c.name;
  }
  // A long range that is neither read nor zero-filled is simply skipped.
  const DIGESTRANGE skipped[] = {{0x100, 32769, 0, 1}};
  RECORDER recorder;
  uint64_t fileSize = 0;
  EXPECT_TRUE(WalkImage(opened.image.get(), skipped, 1, RecordDigest, &recorder, nullptr, nullptr,
                        &fileSize));
  EXPECT_EQ(recorder.digested.size(), bytes.size() - 32769);
}

// Words count from the start of each chunk; an odd chunk's last byte is remembered (the latest
// replaces the earlier) and added once after the fold, its carry dropped.
TEST(ImageChecksum, KnownAnswers) {
  struct SUMCASE {
    const char* name;
    std::vector<Bytes> chunks;
    uint64_t fileSize;
    uint32_t expected;
  };
  const SUMCASE cases[] = {
      {"words", {{0x01, 0x02, 0x03, 0x04}}, 0x10, 0x0201 + 0x0403 + 0x10},
      {"odd_byte_added_last", {{0x01, 0x02, 0x03}}, 3, 0x0201 + 0x03 + 3},
      {"later_odd_byte_replaces", {{0x01, 0x02, 0x03}, {0x07}}, 4, 0x0201 + 0x07 + 4},
      {"words_restart_per_chunk", {{0x01}, {0x02, 0x03}}, 3, 0x0302 + 0x01 + 3},
      {"fold", {{0xFF, 0xFF, 0x02, 0x00}}, 0, 0x0002},  // 0x10001 folds to 2
      {"odd_carry_dropped", {{0xFF, 0xFF, 0x01}}, 0x20, 0x0000 + 0x20},
      {"file_size_low_32_bits", {{0x01, 0x00}}, 0x100000005ull, 0x0001 + 5},
  };
  for (const SUMCASE& c : cases) {
    static IMAGEOBJ image;
    image.checksumSum = 0;
    image.checksumOddByte = 0;
    for (const Bytes& chunk : c.chunks) {
      ASSERT_TRUE(ChecksumUpdate(&image, chunk.data(), uint32_t(chunk.size())));
    }
    EXPECT_EQ(ChecksumFinish(&image, c.fileSize), c.expected) << c.name;
  }
}

}  // namespace
