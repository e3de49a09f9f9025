#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "reports.h"
#include "signcheck/machine_auth.h"

namespace {

constexpr uint8_t MARKER = 0xA5;

MACHINEAUTH RecordWith(const wchar_t* operatorText, const wchar_t* issueDate,
                       const wchar_t* expirationDate) {
  MACHINEAUTH record = {};
  record.operatorText = operatorText;
  record.issueDate = issueDate;
  record.expirationDate = expirationDate;
  for (uint32_t i = 0; i < MD5_DIGEST_SIZE; ++i)
    record.machineIdDigest[i] = static_cast<uint8_t>(i);
  return record;
}

std::vector<uint8_t> Utf16Item(uint8_t type, const char* ascii) {
  std::vector<uint8_t> item = {type, 0, static_cast<uint8_t>(4 + 2 * (strlen(ascii) + 1)), 0};
  for (const char* c = ascii;; ++c) {
    item.push_back(static_cast<uint8_t>(*c));
    item.push_back(0);
    if (*c == 0) break;
  }
  return item;
}

const std::vector<uint8_t> MACHINE_ITEM = {14, 0, 20, 0, 0,  1,  2,  3,  4,  5,
                                           6,  7, 8,  9, 10, 11, 12, 13, 14, 15};

TEST(AuthorizationMessageSize, TwiceTheValueBytesBetweenTheBounds) {
  const struct {
    uint32_t used;
    uint32_t size;
  } cases[] = {{0, 256},    {100, 256},  {128, 256},  {129, 258},
               {511, 1022}, {512, 1024}, {600, 1024}, {1023, 1024}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.size, AuthorizationMessageSize(c.used)) << "used " << c.used;
  }
}

TEST(BuildAuthorizationMessage, ItemsInOrderThenTheMachineDigest) {
  const struct {
    const char* name;
    MACHINEAUTH record;
    std::vector<std::vector<uint8_t>> items;
  } cases[] = {
      {"digest alone", RecordWith(nullptr, nullptr, nullptr), {MACHINE_ITEM}},
      {"all three texts",
       RecordWith(L"AB", L"2016-08-01", L"2016-8-22 7:5:0"),
       {Utf16Item(10, "AB"), Utf16Item(11, "2016-08-01"), Utf16Item(12, "2016-8-22 7:5:0"),
        MACHINE_ITEM}},
      {"issue date only",
       RecordWith(nullptr, L"2016-08-01", nullptr),
       {Utf16Item(11, "2016-08-01"), MACHINE_ITEM}},
      {"empty operator", RecordWith(L"", nullptr, nullptr), {Utf16Item(10, ""), MACHINE_ITEM}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> expected;
    for (const auto& item : c.items) expected.insert(expected.end(), item.begin(), item.end());
    std::vector<uint8_t> message(256, MARKER);
    uint32_t length = 0xDEADBEEF;
    CReportCounter reports;
    ASSERT_EQ(1, BuildAuthorizationMessage(message.data(), 256, &c.record, &length));
    ASSERT_EQ(expected.size(), length);
    EXPECT_EQ(expected, std::vector<uint8_t>(message.begin(), message.begin() + length));
    EXPECT_EQ(MARKER, message[length]);
    EXPECT_EQ(0, reports.count());
  }
}

TEST(BuildAuthorizationMessage, RoomIsCheckedBeforeEveryWrite) {
  // Operator "ABC" is a 12-byte item; the digest item needs 20 more.
  const MACHINEAUTH record = RecordWith(L"ABC", nullptr, nullptr);
  const struct {
    uint32_t size;
    int result;
  } cases[] = {{32, 1}, {31, 0}, {12, 0}, {11, 0}, {5, 0}, {0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<uint8_t> message(c.size + 8, MARKER);
    uint32_t length = 0;
    CReportCounter reports;
    EXPECT_EQ(c.result, BuildAuthorizationMessage(message.data(), c.size, &record, &length));
    for (uint32_t i = c.size; i < message.size(); ++i) ASSERT_EQ(MARKER, message[i]) << i;
    if (c.result == 0) {
      EXPECT_EQ(1, reports.count());
      EXPECT_EQ(5u, reports.code());
      EXPECT_NE(std::wstring::npos, reports.text().find(L"签名信息长度超过签名缓冲区"));
    }
  }
}

TEST(BuildAuthorizationMessage, MalformedDatesAreReportedByName) {
  const struct {
    const char* name;
    MACHINEAUTH record;
    const wchar_t* text;
  } cases[] = {
      {"issue date of five numbers", RecordWith(nullptr, L"2016-08-22 10:30", nullptr),
       L"签发日期格式无效"},
      {"expiration date of five numbers", RecordWith(nullptr, nullptr, L"2016-08-22 10:30"),
       L"过期日期格式无效"},
      {"impossible expiration date", RecordWith(nullptr, L"2016-08-01", L"2016-13-01"),
       L"过期日期格式无效"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t message[256];
    uint32_t length = 0;
    CReportCounter reports;
    EXPECT_EQ(0, BuildAuthorizationMessage(message, sizeof(message), &c.record, &length));
    EXPECT_EQ(1, reports.count());
    EXPECT_EQ(1u, reports.code());
    EXPECT_NE(std::wstring::npos, reports.text().find(c.text));
  }
}

TEST(AppendTextItem, BelowSixBytesNothingIsWritten) {
  uint8_t item[8];
  memset(item, MARKER, sizeof(item));
  uint32_t itemLength = 0xDEADBEEF;
  CReportCounter reports;
  EXPECT_EQ(1, AppendTextItem(item, 5, AUTHITEM_OPERATOR, L"", &itemLength));
  EXPECT_EQ(0u, itemLength);
  for (uint8_t byte : item) EXPECT_EQ(MARKER, byte);
  EXPECT_EQ(0, reports.count());
}

}  // namespace
