#include <gtest/gtest.h>
#include <windows.h>

#include "signcheck/machine_auth.h"

namespace {

constexpr uint64_t MARKER_TIME = 0x0123456789ABCDEFull;

// The tests run with TZ=CST-8 (UTC+8 without daylight saving).
TEST(ParseDateText, ReadsLocalTimeAsUtc) {
  TIME_ZONE_INFORMATION zone;
  GetTimeZoneInformation(&zone);
  ASSERT_EQ(-480, zone.Bias) << "the test's time zone is not pinned";

  const struct {
    const wchar_t* text;
    int result;
    uint64_t time;  // FILETIME (UTC)
  } cases[] = {
      {L"2016-08-22", 1, 131162688000000000ull},           // 2016-08-21 16:00:00 UTC
      {L"2016-8-22 7:5:0", 1, 131162943000000000ull},      // 2016-08-21 23:05:00 UTC
      {L"2016-08-22T10:30:00", 1, 131162688000000000ull},  // three numbers: the date alone
      {L"2016-08-22 00:00:00 and more", 1, 131162688000000000ull},
      {L"2016-02-29", 1, 131011488000000000ull},
      {L"2016-08-22 10:30", 0, 0},
      {L"2016-08", 0, 0},
      {L"", 0, 0},
      {L"22.08.2016", 0, 0},
      {L"2016-13-01", 0, 0},
      {L"2016-08-32", 0, 0},
      {L"2016-08-22 24:00:00", 0, 0},
      {L"2016-08-22 23:60:00", 0, 0},
      {L"1600-12-31", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.text);
    uint64_t time = MARKER_TIME;
    EXPECT_EQ(c.result, ParseDateText(c.text, &time));
    EXPECT_EQ(c.result ? c.time : MARKER_TIME, time);
  }
}

TEST(IsExpired, StrictlyEarlierThanNowAndZeroNever) {
  const uint64_t now = 131162688000000000ull;
  const struct {
    const char* name;
    uint64_t time;
    int expired;
  } cases[] = {
      {"exactly now", now, 0},
      {"one unit earlier", now - 1, 1},
      {"one unit later", now + 1, 0},
      {"zero never expires", 0, 0},
      {"negative as signed is earlier", 0x8000000000000000ull, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expired, IsExpiredAt(c.time, now)) << c.name;
  }
  EXPECT_EQ(1, IsExpired(1));
  EXPECT_EQ(0, IsExpired(0x7FFFFFFFFFFFFFFFull));
  EXPECT_EQ(0, IsExpired(0));
}

}  // namespace
