// The image reader: header checks, the section table and INIT scan, the signature resource
// lookup and the certificate-table walk, on small hand-made images and real fixtures.
#include <gtest/gtest.h>

#include <string.h>

#include "image_test_support.h"

namespace {

constexpr uint32_t RSRC_RVA = 0x2000;
constexpr uint32_t RSRC_RAW = 0x400;

// .text and .rsrc with a signature resource tree; 0x600 bytes.
IMAGELAYOUT ResourceImage() {
  IMAGELAYOUT layout;
  layout.sections = {{".text", 0x1000, 0x200, 0x200, 0x200}, {".rsrc", RSRC_RVA, 0x200, RSRC_RAW, 0x200}};
  layout.resourceRva = RSRC_RVA;
  layout.resourceSize = 0x100;
  layout.fileSize = 0x600;
  return layout;
}

Bytes WithTree(const IMAGELAYOUT& layout, const RESOURCELAYOUT& resource = RESOURCELAYOUT()) {
  Bytes image = BuildImage(layout);
  const Bytes tree = BuildResourceTree(RSRC_RVA, resource);
  memcpy(&image[RSRC_RAW], tree.data(), tree.size());
  return image;
}

struct OPENCASE {
  const char* name;
  Bytes image;
  bool opens;
  uint32_t code;        // of the one report, when it does not open
  const wchar_t* text;  // the report's message (system errors: its start)
};

class OpenImageCase : public ::testing::TestWithParam<OPENCASE> {};

TEST_P(OpenImageCase, OpensOrReportsOnce) {
  const OPENCASE& c = GetParam();
  ReportWatch reports;
  OpenedImage opened(c.image);
  EXPECT_EQ(opened.image != nullptr, c.opens);
  if (!c.opens) {
    EXPECT_EQ(reports.count(), 1);
    EXPECT_EQ(reports.code(), c.code);
    EXPECT_EQ(reports.message(), c.text);
    EXPECT_EQ(reports.source(), L"RUZozozUre");
  }
}

IMAGELAYOUT With(IMAGELAYOUT layout, void (*change)(IMAGELAYOUT&)) {
  change(layout);
  return layout;
}

Bytes NoMz() {
  Bytes image = BuildImage(IMAGELAYOUT());
  image[0] = 'X';
  return image;
}

Bytes NotPe() {
  Bytes image = BuildImage(IMAGELAYOUT());
  image[0x80 + 2] = 'X';  // "PX\0\0"
  return image;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, OpenImageCase,
    ::testing::Values(
        OPENCASE{"plain", BuildImage(IMAGELAYOUT()), true, 0, L""},
        OPENCASE{"no_mz", NoMz(), false, 1, L"不是一个有效的PE文件"},
        OPENCASE{"lfanew_zero", BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) { s.lfanew = 0; })),
                 false, 1, L"不是一个有效的PE文件"},
        OPENCASE{"lfanew_negative",
                 BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) { s.lfanew = -8; })), false, 1,
                 L"不是一个有效的PE文件"},
        OPENCASE{"no_pe_signature", NotPe(), false, 1, L"不是一个有效的PE文件"},
        // e_lfanew + 4 beyond the end: the cached read refuses before any check.
        OPENCASE{"shorter_than_lfanew_plus_4",
                 BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) { s.lfanew = 0x3FE; })), false, 1,
                 L"文件缺失"},
        OPENCASE{"pe32_optional_119",
                 BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) { s.optionalSize = 119; })), false, 1,
                 L"PE文件目录不足"},
        OPENCASE{"pe32_optional_120",
                 BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) { s.optionalSize = 120; })), true, 0,
                 L""},
        OPENCASE{"pe32plus_optional_135", BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) {
                   s.magic = OPTIONAL_MAGIC_PE32PLUS;
                   s.optionalSize = 135;
                 })),
                 false, 1, L"PE文件目录不足"},
        OPENCASE{"pe32plus_optional_136", BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) {
                   s.magic = OPTIONAL_MAGIC_PE32PLUS;
                   s.optionalSize = 136;
                 })),
                 true, 0, L""},
        OPENCASE{"rom_magic", BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) { s.magic = 0x107; })),
                 false, 1, L"不支持的PE文件格式"},
        // The resource directory makes the section table necessary; it lies past the end.
        OPENCASE{"section_table_missing", BuildImage(With(ResourceImage(), [](IMAGELAYOUT& s) {
                   s.sectionCountField = 100;
                 })),
                 false, 1, L"文件缺失"},
        OPENCASE{"cert_table_past_end", BuildImage(With(IMAGELAYOUT(), [](IMAGELAYOUT& s) {
                   s.certOffset = 0x3FC;  // only 4 of the 8 header bytes are there
                   s.certSize = 16;
                 })),
                 false, 1, L"文件长度不足"}),
    [](const ::testing::TestParamInfo<OPENCASE>& info) { return std::string(info.param.name); });

TEST(ImageReader, FillsHeaderFactsOfPe32AndPe32Plus) {
  IMAGELAYOUT layout;
  layout.checksum = 0x12345;
  layout.certOffset = 0x300;
  layout.certSize = 16;
  Bytes image = BuildImage(layout);
  StoreLe32(image, 0x300, 16);  // one 16-byte entry of type 2
  StoreLe16(image, 0x306, 2);
  OpenedImage opened(image);
  ASSERT_TRUE(opened.image);
  const IMAGEINFO& info = opened.image->info;
  EXPECT_EQ(info.checksumFieldOffset, 0x98u + 64);
  EXPECT_EQ(info.certDirEntryOffset, 0x98u + 128);
  EXPECT_EQ(info.checksum, 0x12345u);
  EXPECT_EQ(info.certTableOffset, 0x300u);
  EXPECT_EQ(info.isPE32Plus, 0);
  EXPECT_EQ(opened.image->certCount, 1u);

  OpenedImage plus(LoadFixture("fixture64.exe"));
  ASSERT_TRUE(plus.image);
  EXPECT_EQ(plus.image->info.isPE32Plus, 1);
  EXPECT_EQ(plus.image->info.certDirEntryOffset, plus.image->info.checksumFieldOffset - 64 + 144);
}

// Without a resource directory and without the driver conditions the section table is not read,
// so a section count that points past the end of the file does not matter.
TEST(ImageReader, SkipsSectionTableWithoutResourcesOrDriverScan) {
  IMAGELAYOUT layout;
  layout.sectionCountField = 500;
  OpenedImage opened(BuildImage(layout));
  ASSERT_TRUE(opened.image);
  EXPECT_EQ(opened.image->info.headersEnd, OptionalHeaderOffset(layout) + layout.optionalSize);
}

TEST(ImageReader, FindsSectionTableAfterLongOptionalHeader) {
  IMAGELAYOUT layout = ResourceImage();
  layout.optionalSize = 0x100;  // longer than the 224 bytes read
  OpenedImage opened(WithTree(layout));
  ASSERT_TRUE(opened.image);
  EXPECT_EQ(opened.image->info.headersEnd, OptionalHeaderOffset(layout) + 0x100 + 2 * 40);
  EXPECT_EQ(opened.image->info.resourceRootOffset, RSRC_RAW);
}

TEST(ImageReader, ReadsAtMost819SectionHeaders) {
  IMAGELAYOUT layout = ResourceImage();
  layout.sections.clear();
  layout.sectionCountField = 1000;
  layout.resourceRva = 0x7FFF0000;  // beyond the (empty) sections: no resource, the open goes on
  layout.fileSize = 0x200 + 819 * 40;  // room for 819 headers, not for 1000
  ReportWatch reports;
  OpenedImage opened(BuildImage(layout));
  ASSERT_TRUE(opened.image);
  EXPECT_EQ(opened.image->info.headersEnd, OptionalHeaderOffset(layout) + layout.optionalSize + 819 * 40);
  EXPECT_EQ(opened.image->info.resourceRootOffset, 0u);
  EXPECT_EQ(reports.count(), 1);
  EXPECT_EQ(reports.category(), L"SYS");
  EXPECT_EQ(reports.message().rfind(L"资源长度超出了节尺寸--", 0), 0u);
}

struct INITCASE {
  const char* name;
  bool marker;
  int32_t lfanew;
  uint16_t magic;
  uint16_t subsystem;
  const char* section;
  uint8_t driverHeaderOffset;
  uint8_t hasInitSection;
};

class InitScanCase : public ::testing::TestWithParam<INITCASE> {};

TEST_P(InitScanCase, SetsFlagsOnlyUnderAllConditions) {
  const INITCASE& c = GetParam();
  IMAGELAYOUT layout;
  layout.lfanew = c.lfanew;
  layout.magic = c.magic;
  layout.optionalSize = c.magic == OPTIONAL_MAGIC_PE32 ? OPTIONAL_READ_SIZE_PE32 : OPTIONAL_READ_SIZE_PE32PLUS;
  layout.subsystem = c.subsystem;
  layout.driverMarker = c.marker;
  layout.sections = {{".text", 0x1000, 0x100, 0x400, 0x100}, {c.section, 0x2000, 0x100, 0x500, 0x100}};
  layout.fileSize = 0x600;
  OpenedImage opened(BuildImage(layout));
  ASSERT_TRUE(opened.image);
  EXPECT_EQ(opened.image->info.driverHeaderOffset, c.driverHeaderOffset);
  EXPECT_EQ(opened.image->info.hasInitSection, c.hasInitSection);
  EXPECT_EQ(opened.image->info.isNative, c.subsystem == SUBSYSTEM_NATIVE);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, InitScanCase,
    ::testing::Values(
        INITCASE{"native_driver", true, 0x110, OPTIONAL_MAGIC_PE32, 1, "INIT", 128, 1},
        INITCASE{"no_marker", false, 0x110, OPTIONAL_MAGIC_PE32, 1, "INIT", 0, 0},
        INITCASE{"lfanew_below_272", true, 0x108, OPTIONAL_MAGIC_PE32, 1, "INIT", 0, 0},
        INITCASE{"gui_subsystem", true, 0x110, OPTIONAL_MAGIC_PE32, 2, "INIT", 128, 0},
        INITCASE{"pe32plus", true, 0x110, OPTIONAL_MAGIC_PE32PLUS, 1, "INIT", 128, 0},
        INITCASE{"longer_name", true, 0x110, OPTIONAL_MAGIC_PE32, 1, "INITDATA", 128, 0},
        INITCASE{"other_name", true, 0x110, OPTIONAL_MAGIC_PE32, 1, "PAGE", 128, 0}),
    [](const ::testing::TestParamInfo<INITCASE>& info) { return std::string(info.param.name); });

TEST(ImageReader, DriverFixturesCarryTheDriverFlags) {
  OpenedImage init(LoadFixture("driver_init.sys"));
  OpenedImage noinit(LoadFixture("driver_noinit.sys"));
  ASSERT_TRUE(init.image && noinit.image);
  EXPECT_EQ(init.image->info.driverHeaderOffset, 128u);
  EXPECT_EQ(init.image->info.hasInitSection, 1);
  EXPECT_EQ(noinit.image->info.driverHeaderOffset, 128u);
  EXPECT_EQ(noinit.image->info.hasInitSection, 0);
}

struct RESOURCECASE {
  const char* name;
  RESOURCELAYOUT resource;
  bool found;
};

class SignatureResourceCase : public ::testing::TestWithParam<RESOURCECASE> {};

TEST_P(SignatureResourceCase, FindsOnlyTheIntegerRcdata729Of128Bytes) {
  const RESOURCECASE& c = GetParam();
  OpenedImage opened(WithTree(ResourceImage(), c.resource));
  ASSERT_TRUE(opened.image);
  const IMAGEINFO& info = opened.image->info;
  if (c.found) {
    EXPECT_EQ(info.resourceRootOffset, RSRC_RAW);
    for (uint8_t byte : info.resourceSignature) ASSERT_EQ(byte, 0xA5);
  } else {
    EXPECT_EQ(info.resourceRootOffset, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lookup, SignatureResourceCase,
    ::testing::Values(RESOURCECASE{"integer_language", RESOURCELAYOUT{false, 128, 729}, true},
                      RESOURCECASE{"only_named_language", RESOURCELAYOUT{true, 128, 729}, false},
                      RESOURCECASE{"size_127", RESOURCELAYOUT{false, 127, 729}, false},
                      RESOURCECASE{"size_129", RESOURCELAYOUT{false, 129, 729}, false},
                      RESOURCECASE{"other_id", RESOURCELAYOUT{false, 128, 730}, false}),
    [](const ::testing::TestParamInfo<RESOURCECASE>& info) { return std::string(info.param.name); });

TEST(ImageReader, RealResourcesFromTheResourceCompiler) {
  // The DLL has the 729 placeholder (zeros) and a string-named one of 0x11 bytes.
  OpenedImage dll(LoadFixture("fixture_dll.dll"));
  ASSERT_TRUE(dll.image);
  EXPECT_NE(dll.image->info.resourceRootOffset, 0u);
  for (uint8_t byte : dll.image->info.resourceSignature) ASSERT_EQ(byte, 0);
  // The EXE holds only the string-named "IDR_SIGNDATA": never taken for the signature resource.
  OpenedImage exe(LoadFixture("fixture_exe.exe"));
  ASSERT_TRUE(exe.image);
  EXPECT_EQ(exe.image->info.resourceRootOffset, 0u);
}

TEST(ImageReader, ResourceLongerThanItsSectionIsReportedAndSkipped) {
  IMAGELAYOUT layout = ResourceImage();
  layout.resourceSize = 0x201;  // one byte more than .rsrc holds
  ReportWatch reports;
  OpenedImage opened(WithTree(layout));
  ASSERT_TRUE(opened.image);
  EXPECT_EQ(opened.image->info.resourceRootOffset, 0u);
  EXPECT_EQ(reports.count(), 1);
  EXPECT_EQ(reports.message().rfind(L"资源长度超出了节尺寸--", 0), 0u);
}

struct WALKCASE {
  const char* name;
  std::vector<uint32_t> lengths;  // dwLength of each entry, placed on 8-byte steps
  uint32_t tableSize;
  uint32_t entries;  // certCount after a successful walk
  uint32_t code;     // 0: the walk succeeds
  const wchar_t* text;
};

class CertWalkCase : public ::testing::TestWithParam<WALKCASE> {};

TEST_P(CertWalkCase, WalksOrReports) {
  const WALKCASE& c = GetParam();
  IMAGELAYOUT layout;
  layout.certOffset = 0x400;
  layout.certSize = c.tableSize;
  layout.fileSize = 0x400 + 256 * 8 + 64;
  Bytes image = BuildImage(layout);
  size_t at = 0x400;
  for (uint32_t length : c.lengths) {
    StoreLe32(image, at, length);
    StoreLe16(image, at + WIN_CERTIFICATE_TYPE_OFFSET, 2);
    at += (length + 7) & ~7u;
  }
  ReportWatch reports;
  OpenedImage opened(image);
  if (c.code == 0) {
    ASSERT_TRUE(opened.image);
    EXPECT_EQ(opened.image->certCount, c.entries);
    for (uint32_t i = 0; i < opened.image->certCount; ++i) {
      EXPECT_EQ(opened.image->certEntries[i].index, i);
    }
    EXPECT_EQ(reports.count(), 0);
  } else {
    EXPECT_FALSE(opened.image);
    EXPECT_EQ(reports.count(), 1);
    EXPECT_EQ(reports.code(), c.code);
    EXPECT_EQ(reports.message(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CertWalkCase,
    ::testing::Values(
        WALKCASE{"length_13_table_16", {13}, 16, 1, 0, L""},
        WALKCASE{"length_13_table_13", {13}, 13, 0, 1, L"Certificate Table大小与PE目录不符合"},
        WALKCASE{"two_entries", {13, 24}, 40, 2, 0, L""},
        WALKCASE{"length_0_never_advances", {0}, 16, 0, 16, L"签名数量超过系统支持的最大值: 256"},
        WALKCASE{"exactly_256", std::vector<uint32_t>(256, 8), 256 * 8, 256, 0, L""},
        WALKCASE{"257_needed", std::vector<uint32_t>(257, 8), 257 * 8, 0, 16,
                 L"签名数量超过系统支持的最大值: 256"}),
    [](const ::testing::TestParamInfo<WALKCASE>& info) { return std::string(info.param.name); });

// A reference that is found later and one that is found earlier than the cached window: the
// cache must hand back exactly the file's bytes either way.
TEST(HeaderReader, ServesEveryReadWithTheFileBytes) {
  Bytes content(3 * HEADER_CACHE_SIZE + 100);
  for (size_t i = 0; i < content.size(); ++i) content[i] = uint8_t(i * 31 + (i >> 8));
  TempImage file(content);
  Bytes cache(HEADER_CACHE_SIZE);
  HEADERREADER reader = {file.handle(), 0, 0, content.size(), cache.data(), HEADER_CACHE_SIZE};
  struct READ {
    uint64_t offset;
    uint32_t length;
  };
  const READ reads[] = {
      {100, 50},                            // fills the window at 100
      {120, 10},                            // inside the window
      {50, 60},                             // starts before the window, ends inside it
      {HEADER_CACHE_SIZE, 100},             // starts inside, runs over the window's end
      {0, 2 * HEADER_CACHE_SIZE + 7},       // longer than the window
      {2 * HEADER_CACHE_SIZE, 16},          // inside the tail kept from the long read
      {content.size() - 5, 5},              // the last bytes
  };
  for (const READ& read : reads) {
    Bytes out(read.length, 0xEE);
    ASSERT_TRUE(ReadAt(&reader, read.offset, out.data(), read.length)) << read.offset;
    ASSERT_EQ(0, memcmp(out.data(), &content[read.offset], read.length)) << read.offset;
  }
  ReportWatch reports;
  uint8_t byte;
  EXPECT_FALSE(ReadAt(&reader, content.size() - 1, &byte, 2));
  EXPECT_EQ(reports.message(), L"文件缺失");
}

}  // namespace
