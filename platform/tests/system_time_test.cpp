#include "system_time.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(SystemTime, FileTimeCountsFrom1601) {
  FILETIME t = 1;
  ASSERT_TRUE(SystemTimeToFileTime(SYSTEMTIME{1601, 1, 0, 1, 0, 0, 0, 0}, t));
  EXPECT_EQ(t, 0u);
  ASSERT_TRUE(SystemTimeToFileTime(SYSTEMTIME{1970, 1, 0, 1, 0, 0, 0, 0}, t));
  EXPECT_EQ(t, 116444736000000000ull);
  ASSERT_TRUE(SystemTimeToFileTime(SYSTEMTIME{2000, 1, 0, 1, 0, 0, 1, 999}, t));
  EXPECT_EQ(t, 125911584000000000ull + 19990000);

  SYSTEMTIME s{};
  ASSERT_TRUE(FileTimeToSystemTime(125911584000000000ull + 19999999, s));
  EXPECT_EQ(s.wYear, 2000);
  EXPECT_EQ(s.wSecond, 1);
  EXPECT_EQ(s.wMilliseconds, 999);  // sub-millisecond ticks are dropped
  EXPECT_EQ(s.wDayOfWeek, 6);
}

TEST(SystemTime, RangeOfTheCount) {
  SYSTEMTIME s{};
  ASSERT_TRUE(FileTimeToSystemTime(0x7FFFFFFFFFFFFFFFull, s));
  EXPECT_EQ(s.wYear, 30828);
  EXPECT_EQ(s.wMonth, 9);
  EXPECT_EQ(s.wDay, 14);
  EXPECT_FALSE(FileTimeToSystemTime(0x8000000000000000ull, s));
  FILETIME t = 5;
  EXPECT_TRUE(SystemTimeToFileTime(SYSTEMTIME{30827, 12, 0, 31, 23, 59, 59, 999}, t));
  EXPECT_FALSE(SystemTimeToFileTime(SYSTEMTIME{1600, 12, 0, 31, 23, 59, 59, 999}, t));
  EXPECT_FALSE(SystemTimeToFileTime(SYSTEMTIME{1900, 2, 0, 29, 0, 0, 0, 0}, t));
  EXPECT_TRUE(SystemTimeToFileTime(SYSTEMTIME{2000, 2, 9, 29, 0, 0, 0, 0}, t));  // day of week not checked
}
