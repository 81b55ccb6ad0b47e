#include "keyset_time.h"

#include "date_time.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

using platform::SYSTEMTIME;

namespace {

int64_t DaysFromEpoch(int year, int month, int day) {
  return platform::DaysFromCivil(year, month, day) - platform::DaysFromCivil(2000, 1, 1);
}

std::wstring TimeText(uint32_t seconds) {
  wchar_t buffer[32] = L"";
  FormatMilleniumTime(buffer, 32, seconds);
  return buffer;
}

std::wstring Name(uint32_t number, uint32_t time) {
  wchar_t buffer[KeysetNameSize];
  EXPECT_TRUE(FormatKeysetName(buffer, KeysetNameSize, number, time));
  return buffer;
}

// The conversions must not move with the computer's zone, daylight saving included.
class KeysetTime : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) previous_ = tz;
    ::setenv("TZ", GetParam(), 1);
    ::tzset();
  }
  void TearDown() override {
    if (previous_.empty()) ::unsetenv("TZ");
    else ::setenv("TZ", previous_.c_str(), 1);
    ::tzset();
  }

 private:
  std::string previous_;
};

TEST_P(KeysetTime, TextOfCounts) {
  struct Case {
    uint32_t seconds;
    const wchar_t* text;
  };
  const Case cases[] = {
      {0, L"2000-01-01 00:00:00"},
      {86399, L"2000-01-01 23:59:59"},
      {300000000, L"2009-07-04 05:20:00"},
      {4294967295u, L"1999-12-31 23:59:59"},  // the count is signed
      {2147483647, L"2068-01-19 03:14:07"},
      {2147483648u, L"1931-12-13 20:45:52"},
      {5097600, L"2000-02-29 00:00:00"},
      {86400 * 366, L"2001-01-01 00:00:00"},
      // A spring-forward night of Europe: every second exists.
      {uint32_t(DaysFromEpoch(2021, 3, 28) * 86400 + 2 * 3600 + 30 * 60), L"2021-03-28 02:30:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeText(c.seconds), c.text) << c.seconds;
}

TEST_P(KeysetTime, SystemTimeRoundTrip) {
  uint32_t out = 7;
  EXPECT_TRUE(SystemTimeToMilleniumTime(out, SYSTEMTIME{2000, 1, 0, 1, 0, 0, 1, 999}));
  EXPECT_EQ(out, 1u);  // milliseconds dropped
  EXPECT_TRUE(SystemTimeToMilleniumTime(out, SYSTEMTIME{1999, 12, 0, 31, 23, 59, 59, 0}));
  EXPECT_EQ(out, 4294967295u);  // before 2000 wraps
  for (uint32_t s : {0u, 1u, 300000000u, 2147483647u, 4294967295u, 2147483648u, 123456789u}) {
    SYSTEMTIME t{};
    ASSERT_TRUE(MilleniumTimeToSystemTime(t, s));
    ASSERT_TRUE(SystemTimeToMilleniumTime(out, t));
    EXPECT_EQ(out, s);
  }
  SYSTEMTIME t{};
  ASSERT_TRUE(MilleniumTimeToSystemTime(t, 0));
  EXPECT_EQ(t.wDayOfWeek, 6);  // 2000-01-01 was a Saturday
  EXPECT_EQ(t.wMilliseconds, 0);
}

TEST_P(KeysetTime, FieldsThatDoNotExistFail) {
  const SYSTEMTIME bad[] = {
      {2001, 2, 0, 29, 0, 0, 0, 0}, {2000, 13, 0, 1, 0, 0, 0, 0},  {2000, 0, 0, 1, 0, 0, 0, 0},
      {2000, 1, 0, 0, 0, 0, 0, 0},  {2000, 4, 0, 31, 0, 0, 0, 0},  {2000, 1, 0, 1, 24, 0, 0, 0},
      {2000, 1, 0, 1, 0, 60, 0, 0}, {2000, 1, 0, 1, 0, 0, 60, 0},  {2000, 1, 0, 1, 0, 0, 0, 1000},
      {1600, 12, 0, 31, 0, 0, 0, 0}, {30828, 1, 0, 1, 0, 0, 0, 0},
      // Beyond the signed count: they would wrap onto another date.
      {2068, 1, 0, 19, 3, 14, 8, 0}, {9999, 12, 0, 31, 23, 59, 59, 0}, {1931, 12, 0, 13, 20, 45, 51, 0},
  };
  for (const auto& t : bad) {
    uint32_t out = 42;
    EXPECT_FALSE(SystemTimeToMilleniumTime(out, t)) << t.wYear << '-' << t.wMonth << '-' << t.wDay;
    EXPECT_EQ(out, 42u);
  }
  uint32_t out = 0;
  EXPECT_TRUE(SystemTimeToMilleniumTime(out, SYSTEMTIME{2000, 2, 0, 29, 0, 0, 0, 0}));
  EXPECT_TRUE(SystemTimeToMilleniumTime(out, SYSTEMTIME{2068, 1, 0, 19, 3, 14, 7, 0}));
  EXPECT_EQ(out, 2147483647u);
  EXPECT_TRUE(SystemTimeToMilleniumTime(out, SYSTEMTIME{1931, 12, 0, 13, 20, 45, 52, 0}));
  EXPECT_EQ(out, 2147483648u);
}

TEST_P(KeysetTime, KeysetNames) {
  EXPECT_EQ(Name(74565, 0), L"00291-69 2000-01-01 00:00:00");
  EXPECT_EQ(Name(256, 300000000), L"00001-0 2009-07-04 05:20:00");
  EXPECT_EQ(Name(2147483649u, 0), L"8388608-1 2000-01-01 00:00:00");
  EXPECT_EQ(Name(0xFFFFFFFFu, 0x7FFFFFFFu), L"16777215-255 2068-01-19 03:14:07");  // the longest
}

INSTANTIATE_TEST_SUITE_P(Zones, KeysetTime, ::testing::Values("UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"));

TEST(KeysetName, CutToTheBufferAndReportedWhenItDoesNotFit) {
  wchar_t buffer[40];
  wmemset(buffer, L'#', 40);
  EXPECT_FALSE(FormatKeysetName(buffer, 9, 74565, 0));
  EXPECT_EQ(std::wstring(buffer), L"00291-69");
  EXPECT_EQ(buffer[9], L'#');
  EXPECT_TRUE(FormatKeysetName(buffer, 29, 74565, 0));  // exactly fits with its terminator
  EXPECT_FALSE(FormatKeysetName(buffer, 0, 74565, 0));

  wmemset(buffer, L'#', 40);
  FormatMilleniumTime(buffer, 11, 0);
  EXPECT_EQ(std::wstring(buffer), L"2000-01-01");
}

}  // namespace
