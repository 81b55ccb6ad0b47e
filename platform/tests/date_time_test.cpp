#include "date_time.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(DateTime, CivilDaysRoundTripAcrossCenturiesAndLeapDays) {
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(2000, 1, 1), 10957);
  for (int64_t d = -800000; d < 800000; d += 997) {
    auto c = CivilFromDays(d);
    EXPECT_EQ(DaysFromCivil(c.year, c.month, c.day), d);
  }
  auto leap = CivilFromDays(DaysFromCivil(2000, 3, 1) - 1);
  EXPECT_EQ(leap.month, 2);
  EXPECT_EQ(leap.day, 29);
}

TEST(DateTime, EncodeIsTheFrameworksDayCount) {
  EXPECT_DOUBLE_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_THROW(EncodeDate(2001, 2, 29), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
}

TEST(DateTime, ParsersAcceptTheFixedFormatsOnly) {
  EXPECT_DOUBLE_EQ(StrToDate("2024-02-29"), EncodeDate(2024, 2, 29));
  EXPECT_DOUBLE_EQ(StrToDate("2024-2-9"), EncodeDate(2024, 2, 9));
  EXPECT_DOUBLE_EQ(StrToTime("23:59:59"), EncodeTime(23, 59, 59, 0));
  EXPECT_DOUBLE_EQ(StrToTime("7:05"), EncodeTime(7, 5, 0, 0));
  for (const char* bad : {"", "2023-02-29", "2024/01/01", "24-01-01", "2024-01-01x", "2024-13-01"})
    EXPECT_THROW(StrToDate(bad), EConvertError) << bad;
  for (const char* bad : {"", "24:00:00", "12:60:00", "12:00:60", "12", "12:00:00:00", "ab:cd"})
    EXPECT_THROW(StrToTime(bad), EConvertError) << bad;
}

TEST(DateTime, NowIsLocalWallClockTime) {
  ::setenv("TZ", "America/New_York", 1);
  ::tzset();
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  TDateTime expected = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
                       EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, 0);
  EXPECT_NEAR(Now(), expected, 2.0 / 86400);
  ::unsetenv("TZ");
  ::tzset();
}
