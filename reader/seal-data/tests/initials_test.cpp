#include "initials.h"

#include <gtest/gtest.h>

TEST(Initials, WorkedExamplesBothWays) {
  struct {
    std::string initials;
    uint16_t id;
    std::string decoded;
  } cases[] = {
      {"JS", 289, "JS"},
      {"A C", 732, "A C"},
      {"ZZZ", 19682, "ZZZ"},
      {"js", 0, ""},
      {"J.S", 7309, "J S"},
      {"DZZZ", 32878, "ARBS"},  // 98414 wraps modulo 65536
      {"", 0, ""},
      {" AB", 29, "AB"},  // a leading zero digit vanishes on decoding
      {"AB", 29, "AB"},
      {"A ", 27, "A "},
      {"\xC9", 0, ""},  // no letter of A to Z, whatever the byte
  };
  for (const auto& c : cases) {
    EXPECT_EQ(InitialsToUserId(c.initials), c.id) << c.initials;
    EXPECT_EQ(UserIdToInitials(c.id), c.decoded) << c.id;
  }
  EXPECT_EQ(UserIdToInitials(65535), "CHXF");
}
