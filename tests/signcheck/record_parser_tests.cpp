// The signature record parser, over records built in memory.
#include <gtest/gtest.h>

#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "errobj/errobj.h"
#include "signcheck/signature_record.h"
#include "image_test_support.h"

namespace {

Bytes Attribute(uint16_t type, std::initializer_list<uint8_t> value) {
  Bytes out(4);
  StoreLe16(out, 0, type);
  StoreLe16(out, 2, uint16_t(4 + value.size()));
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A record: header, element (type, declared length, 8 signature bytes), attributes.
Bytes Record(uint16_t elementType, uint16_t elementLength, const Bytes& attributes,
             uint16_t revision = SIGNATURE_RECORD_REVISION) {
  Bytes out(20, 0x5C);
  StoreLe16(out, 4, revision);
  StoreLe16(out, 6, CERT_TYPE_OWN);
  StoreLe16(out, 8, elementType);
  StoreLe16(out, 10, elementLength);
  out.insert(out.end(), attributes.begin(), attributes.end());
  StoreLe32(out, 0, uint32_t(out.size()));
  return out;
}

Bytes Valid() { return Record(2, 12, {}); }

struct PARSECASE {
  const char* name;
  Bytes record;
  int32_t availableDelta;  // available = record size + this
  const wchar_t* text;     // null: parses
};

class SignatureRecordCase : public ::testing::TestWithParam<PARSECASE> {};

TEST_P(SignatureRecordCase, ParsesOrReportsFormatError) {
  const PARSECASE& c = GetParam();
  Bytes buffer = c.record;
  buffer.resize(buffer.size() + 16, 0x77);  // stale bytes after the record must not matter
  SIGNINFO info;
  memset(&info, 0xCC, sizeof info);
  const uint8_t* signature = nullptr;
  const uint8_t* attributes = nullptr;
  int32_t signatureLength = -1, attributesLength = -1;
  ReportWatch reports;
  const int parsed =
      ParseSignatureRecord(buffer.data(), uint32_t(int32_t(c.record.size()) + c.availableDelta),
                           &info, &signature, &signatureLength, &attributes, &attributesLength);
  if (!c.text) {
    EXPECT_TRUE(parsed);
    EXPECT_EQ(reports.count(), 0);
    return;
  }
  EXPECT_FALSE(parsed);
  EXPECT_EQ(reports.count(), 1);
  EXPECT_EQ(reports.code(), 1u);
  EXPECT_EQ(reports.source(), L"KVCheckCertificate");
  EXPECT_EQ(reports.message(), c.text);
  EXPECT_EQ(info.status, 0);  // zeroed before any check
}

const wchar_t* const FORMAT = L"签名格式无效";
const wchar_t* const LENGTH = L"签名长度无效";

INSTANTIATE_TEST_SUITE_P(
    Records, SignatureRecordCase,
    ::testing::Values(
        PARSECASE{"valid_no_attributes", Valid(), 0, nullptr},
        PARSECASE{"padding_counted_in_available", Valid(), 5, nullptr},
        PARSECASE{"longer_than_available", Valid(), -1, L"签名长度不匹配"},
        PARSECASE{"length_7", [] { Bytes r = Valid(); StoreLe32(r, 0, 7); return r; }(), 0, LENGTH},
        PARSECASE{"length_field_cut", Bytes{20, 0, 0}, 0, LENGTH},
        PARSECASE{"revision_0200", Record(2, 12, {}, 0x0200), 0, L"签名版本无效"},
        PARSECASE{"header_only", [] { Bytes r = Valid(); r.resize(8); StoreLe32(r, 0, 8); return r; }(),
                  0, LENGTH},
        PARSECASE{"element_type_0", Record(0, 12, {}), 0, FORMAT},
        PARSECASE{"element_type_4", Record(4, 12, {}), 0, FORMAT},
        PARSECASE{"element_length_4", Record(1, 4, {}), 0, LENGTH},
        PARSECASE{"element_past_record", Record(2, 13, {}), 0, LENGTH},
        PARSECASE{"attribute_past_list", Record(2, 12, [] {
                    Bytes a = Attribute(12, {1, 2, 3});
                    StoreLe16(a, 2, 8);
                    return a;
                  }()),
                  0, LENGTH},
        PARSECASE{"attribute_length_4", Record(2, 12, Attribute(12, {})), 0, LENGTH},
        PARSECASE{"attribute_header_cut", Record(2, 12, Bytes{12, 0, 5}), 0, LENGTH},
        PARSECASE{"unknown_type_length_5", Record(2, 12, Attribute(12, {9})), 0, nullptr},
        PARSECASE{"unknown_type_rest_of_list",
                  Record(2, 12, Concat({Attribute(12, {1, 2, 3, 4, 5, 6, 7, 8, 9})})), 0, nullptr},
        PARSECASE{"expiry_length_13", Record(2, 12, Attribute(9, {1, 2, 3, 4, 5, 6, 7, 8, 9})), 0,
                  FORMAT},
        PARSECASE{"value8_length_11", Record(2, 12, Attribute(8, {1, 2, 3, 4, 5, 6, 7})), 0, FORMAT},
        PARSECASE{"text_unterminated", Record(2, 12, Attribute(4, {'a', 0, 'b', 0})), 0, FORMAT},
        PARSECASE{"text_half_terminated", Record(2, 12, Attribute(5, {'a', 0, 'b', 0, 1, 0})), 0,
                  FORMAT},
        // Both last bytes are zero, but the value ends in the middle of a UTF-16 character.
        PARSECASE{"text_odd_length", Record(2, 12, Attribute(6, {'a', 0, 0})), 0, FORMAT},
        PARSECASE{"text_empty", Record(2, 12, Attribute(7, {0, 0})), 0, nullptr}),
    [](const ::testing::TestParamInfo<PARSECASE>& info) { return std::string(info.param.name); });

TEST(SignatureRecord, HandsOutKindAttributesAndTheLastOccurrence) {
  const Bytes record =
      Record(3, 12,
             Concat({Attribute(4, {'a', 0, 0, 0}), Attribute(9, {1, 0, 0, 0, 0, 0, 0, 0}),
                     Attribute(4, {'b', 0, 'c', 0, 0, 0}), Attribute(7, {'z', 0, 0, 0}),
                     Attribute(8, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}),
                     Attribute(9, {2, 0, 0, 0, 0, 0, 0, 0x80})}));
  SIGNINFO info;
  const uint8_t* signature = nullptr;
  const uint8_t* attributes = nullptr;
  int32_t signatureLength = 0, attributesLength = 0;
  ASSERT_TRUE(ParseSignatureRecord(record.data(), uint32_t(record.size()), &info, &signature,
                                   &signatureLength, &attributes, &attributesLength));
  EXPECT_EQ(info.kind, SIGKIND_RECORD3);
  EXPECT_EQ(signature, record.data() + 12);
  EXPECT_EQ(signatureLength, 8);
  EXPECT_EQ(attributes, record.data() + 20);
  EXPECT_EQ(attributesLength, int32_t(record.size()) - 20);
  ASSERT_TRUE(info.text4 && info.text7);
  EXPECT_STREQ(info.text4, L"bc");
  EXPECT_EQ(info.text5, nullptr);
  EXPECT_EQ(info.text6, nullptr);
  EXPECT_STREQ(info.text7, L"z");
  EXPECT_EQ(info.value8, 0x1122334455667788ull);
  EXPECT_EQ(info.expiry, 0x8000000000000002ull);
}

TEST(SignatureRecord, EmptyAttributeListIsHandedOutEmpty) {
  const Bytes record = Record(1, 12, {});
  SIGNINFO info;
  const uint8_t* signature = nullptr;
  const uint8_t* attributes = nullptr;
  int32_t signatureLength = 0, attributesLength = -1;
  ASSERT_TRUE(ParseSignatureRecord(record.data(), uint32_t(record.size()), &info, &signature,
                                   &signatureLength, &attributes, &attributesLength));
  EXPECT_EQ(info.kind, SIGKIND_RECORD1);
  EXPECT_EQ(attributesLength, 0);
  EXPECT_EQ(info.text4, nullptr);
  EXPECT_EQ(info.expiry, 0u);
}

}  // namespace
