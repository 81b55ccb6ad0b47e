#include "hex_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(HexText, EncodesUpperCaseHighNibbleFirstWithATerminator) {
  const uint8_t bytes[] = {0x00, 0x9F, 0xA0, 0xFF, 0x3c};
  wchar_t text[12];
  std::fill(std::begin(text), std::end(text), L'#');
  EXPECT_TRUE(EncodeHex(text, bytes, 5));
  EXPECT_EQ(std::wstring(text), L"009FA0FF3C");
  EXPECT_EQ(text[11], L'#');
}

TEST(HexText, DecodesEitherCaseAndStopsAtTheFirstBadPair) {
  struct Case {
    const wchar_t* text;
    size_t count;
    bool ok;
    std::vector<uint8_t> bytes;  // the output afterwards, from 0xEE-filled
  } cases[] = {
      {L"009fA0Ff", 4, true, {0x00, 0x9F, 0xA0, 0xFF}},
      {L"0102", 2, true, {0x01, 0x02, 0xEE, 0xEE}},
      {L"0102030", 4, false, {0x01, 0x02, 0x03, 0xEE}},  // short text: its terminator is no digit
      {L"01:203", 3, false, {0x01, 0xEE, 0xEE, 0xEE}},
      {L"0G", 1, false, {0xEE, 0xEE, 0xEE, 0xEE}},
      {L" 1", 1, false, {0xEE, 0xEE, 0xEE, 0xEE}},
      {L"\u0661\u0662", 1, false, {0xEE, 0xEE, 0xEE, 0xEE}},  // other scripts' digits are not hex digits
      {L"", 0, true, {0xEE, 0xEE, 0xEE, 0xEE}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out(4, 0xEE);
    EXPECT_EQ(DecodeHex(out.data(), c.text, c.count), c.ok) << c.text;
    EXPECT_EQ(out, c.bytes) << c.text;
  }
}
