#include "cp1252.h"

#include <gtest/gtest.h>

#include "unicode.h"

using namespace platform;

TEST(Cp1252, HighControlRangeIsTheWindowsTable) {
  const char32_t expected[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  for (int b = 0x80; b <= 0x9F; ++b) EXPECT_EQ(Cp1252ToUnicode(b), expected[b - 0x80]) << b;
  EXPECT_EQ(Cp1252ToUnicode(0x41), U'A');
  EXPECT_EQ(Cp1252ToUnicode(0xA0), U'\u00A0');
  EXPECT_EQ(Cp1252ToUnicode(0xFF), U'\u00FF');
}

TEST(Cp1252, EveryByteSurvivesARoundTripThroughUtf8AndWide) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += char(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(WideToCp1252(Cp1252ToWide(all)), all);
  EXPECT_EQ(Cp1252ToUtf8("\x80\xE9\x81"), "\u20AC\u00E9\u0081");
}

TEST(Cp1252, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  struct Case {
    std::string utf8, cp1252;
  } cases[] = {
      {"caf\u00E9 \u20AC5",
       "caf\xE9 \x80"
       "5"},
      {"\u0100", "?"},          // Latin Extended-A, not in 1252
      {"\u0080", "?"},          // a C1 control that 1252 gives a printable character
      {"\U0001F600x", "?x"},    // beyond the BMP
      {"a\xFFz", "a?z"},        // no UTF-8 lead byte
      {"\xC3", "?"},            // truncated
      {"\xC0\xAF", "??"},       // overlong
      {"\xED\xA0\x80", "???"},  // surrogate
      {"\xE2\x82x", "?x"},      // truncated in the middle, next character kept
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToCp1252(c.utf8), c.cp1252) << c.utf8;
  EXPECT_EQ(WideToCp1252(L"\u0152\u0153\u4E00"), "\x8C\x9C?");
}

TEST(Unicode, WideAndUtf8RoundTripAndRepairBadInput) {
  const std::wstring text = L"O'Brien \u00E9\u20AC\U0001F600";
  EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
  EXPECT_EQ(WideToUtf8(L"\u20AC"), "\xE2\x82\xAC");
  EXPECT_EQ(Utf8ToWide("a\xFF"
                       "b"),
            L"a\uFFFDb");
  EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), "\uFFFD");
}
