#include "crc.h"

#include <gtest/gtest.h>

TEST(Crc16, CheckValueAndRunsChain) {
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CalcCrc16(0, text, 9), 0x31C3);
  EXPECT_EQ(CalcCrc16(CalcCrc16(0, text, 4), text + 4, 5), 0x31C3);
  EXPECT_EQ(CalcCrc16(0, text, 0), 0);
}
