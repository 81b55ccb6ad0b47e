#include "tools.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

using platform::EncodeDate;
using platform::EncodeTime;

namespace {

constexpr double OneSecond = 1.0 / 86400;

// Runs the body under another time zone, one with daylight saving.
template <typename F>
void UnderZone(const char* zone, F body) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  ::setenv("TZ", zone, 1);
  ::tzset();
  body();
  if (old) ::setenv("TZ", saved.c_str(), 1);
  else ::unsetenv("TZ");
  ::tzset();
}

}  // namespace

TEST(SealTime, HalfDayEncoding) {
  struct Case {
    double offset;
    uint16_t low, high;
  } cases[] = {
      {0, 0, 43200},
      {0.5, 1, 43200},
      {OneSecond, 0, 43199},
      {0.5 - OneSecond, 0, 1},
      {9000 + 0.75, 18001, 21600},
  };
  for (auto c : cases) {
    TSealTime t = DateTimeToSealTime(SealEpoch + c.offset);
    EXPECT_EQ(SealTimeLow(t), c.low) << c.offset;
    EXPECT_EQ(SealTimeHigh(t), c.high) << c.offset;
    EXPECT_NEAR(SealTimeToDateTime(t), SealEpoch + c.offset, 1e-9);
  }
  EXPECT_EQ(SealTimeSeconds(MakeSealTime(1, 43200)), 43200u);
}

TEST(SealTime, RoundsToTheNearestSecond) {
  EXPECT_EQ(DateTimeToSealTime(SealEpoch + 0.4 * OneSecond), MakeSealTime(0, 43200));
  EXPECT_EQ(DateTimeToSealTime(SealEpoch + 0.6 * OneSecond), MakeSealTime(0, 43199));
  EXPECT_EQ(DateTimeToSealTime(SealEpoch + 1.0 - 0.3 * OneSecond), MakeSealTime(2, 43200));
}

TEST(SealTime, TimesASealCannotCountHaveNoTime) {
  EXPECT_EQ(DateTimeToSealTime(SealEpoch - OneSecond), 0u);
  EXPECT_EQ(DateTimeToSealTime(SealEpoch + 32768.0), 0u);  // past 65535 half-days
  EXPECT_NE(DateTimeToSealTime(SealEpoch + 32767.9), 0u);
}

TEST(SealTime, TextForms) {
  TSealTime t = TextToSealTime("2024-02-29", "13:45:07");
  EXPECT_EQ(SealTimeToDateText(t), "2024-02-29");
  EXPECT_EQ(SealTimeToTimeText(t), "13:45:07");
  EXPECT_EQ(SealTimeToDateText(MakeSealTime(0, 43200)), "2000-01-01");
  EXPECT_EQ(SealTimeToTimeText(MakeSealTime(0, 43200)), "00:00:00");
  EXPECT_EQ(SealTimeToTimeText(MakeSealTime(0, 1)), "11:59:59");
  // A high half of 0 is the end of the half-day, not the null time.
  EXPECT_EQ(SealTimeToDateText(MakeSealTime(1, 0)), "2000-01-02");
  EXPECT_EQ(SealTimeToDateText(0), "");
  EXPECT_EQ(SealTimeToTimeText(0), "");
  EXPECT_TRUE(IsNullSealTime(TextToSealTime("", "12:00:00")));
  EXPECT_TRUE(IsNullSealTime(TextToSealTime("2024-01-01", "")));
  EXPECT_THROW(TextToSealTime("2024-13-01", "12:00:00"), EConvertError);
  EXPECT_THROW(TextToSealTime("2024-01-01", "noon"), EConvertError);
}

TEST(SealTime, NoZoneOrDaylightSavingStep) {
  // Across the spring-forward night of 2024 in Berlin, the seal still counts plain local seconds.
  for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York"}) {
    UnderZone(zone, [&] {
      TSealTime before = TextToSealTime("2024-03-31", "01:30:00");
      TSealTime after = TextToSealTime("2024-03-31", "03:30:00");
      EXPECT_EQ(SealTimeSeconds(after) - SealTimeSeconds(before), 7200u) << zone;
      EXPECT_EQ(SealTimeToTimeText(TextToSealTime("2024-03-31", "02:30:00")), "02:30:00") << zone;
      EXPECT_EQ(SealTimeToDateText(DateTimeToSealTime(SealEpoch)), "2000-01-01") << zone;
      // The current time goes through unchanged in wall-clock terms.
      std::time_t now = std::time(nullptr);
      std::tm local{};
      localtime_r(&now, &local);
      TSealTime t = DateTimeToSealTime(platform::Now());
      EXPECT_LE(std::abs(int(SealTimeSeconds(t) % 86400) -
                         (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec)), 2) << zone;
    });
  }
}

TEST(KeysetNumberText, FormsAndParses) {
  uint32_t n = 1234u << 8 | 3;
  EXPECT_EQ(KeysetNumberToText(n), "01234-3");
  EXPECT_EQ(TextToKeysetNumber("01234-3"), n);
  EXPECT_EQ(KeysetNumberToText(0), "");
  EXPECT_EQ(TextToKeysetNumber(""), 0u);
  EXPECT_EQ(KeysetNumberToText(0xFFFFFFFF), "16777215-255");
  EXPECT_EQ(TextToKeysetNumber("16777215-255"), 0xFFFFFFFFu);
  EXPECT_EQ(TextToKeysetNumber("7-12"), 7u << 8 | 12);
  // The index is read from at most three characters after the minus sign.
  EXPECT_EQ(TextToKeysetNumber("7-1234"), 7u << 8 | 123);
}

TEST(KeysetNumberText, RejectsWhatIsNoKeysetNumber) {
  for (const char* bad : {"01234", "-3", "12-", "12-x", "ab-3", "1 2-3", "12-256", "16777216-0", "99999999999-1"})
    EXPECT_THROW(TextToKeysetNumber(bad), EConvertError) << bad;
}

TEST(TextForms, BytesAndNumbers) {
  const uint8_t bytes[] = {0x00, 0x7F, 0xAB, 0xFF};
  EXPECT_EQ(BytesToHex(bytes, 4), "007FABFF");
  EXPECT_EQ(BytesToHex(bytes, 0), "");

  uint8_t one[1] = {0xEE};
  EXPECT_EQ(HexToBytes("0a1B", one, 1), 1u);
  EXPECT_EQ(one[0], 0x0A);
  uint8_t three[3];
  EXPECT_EQ(HexToBytes("ZZ1b2", three, 3), 2u);  // an odd last digit is no byte
  EXPECT_EQ(three[0], 0x00);
  EXPECT_EQ(three[1], 0x1B);

  EXPECT_EQ(IntToDecimal(-42), "-42");
  EXPECT_EQ(VersionToText(3, 5), "3.05");
  EXPECT_EQ(SignedByteToText(0xFB), "-5");
  EXPECT_EQ(SignedByteToText(0x7F), "127");
  EXPECT_EQ(TenthsToText(123), "12.3");
  EXPECT_EQ(TenthsToTextB(7), "0.7");
  EXPECT_EQ(RoundThousandsToText(1499), "1");
  EXPECT_EQ(RoundThousandsToText(1500), "2");
  EXPECT_EQ(RoundThousandsToText(0xFFFFFFFF), "4294967");  // no wrap near 2^32
  const uint8_t id[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(BatteryIdToText(id), "0123 4567 89AB CDEF");
  const uint8_t field[16] = {'S', 'E', 'A', 'L', 0, 'X'};
  EXPECT_EQ(FixedText8(field), "SEAL");
  const uint8_t full[16] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'};
  EXPECT_EQ(FixedText8(full), "ABCDEFGH");
  EXPECT_EQ(FixedText16(full), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(MonthYearToText(1269), "2069-12");
  EXPECT_EQ(MonthYearToText(170), "1970-01");
  EXPECT_EQ(MonthYearToText(1300), "");
  EXPECT_EQ(MonthYearToText(99), "");
}

TEST(TextForms, StatusWords) {
  EXPECT_EQ(SealWireToText(0x01), "open");
  EXPECT_EQ(SealWireToText(0xFE), "closed");
  EXPECT_EQ(HousingToText(0x04), "open");
  EXPECT_EQ(HousingToText(0x01), "closed");
  EXPECT_EQ(ProtectionToText(0x18), "short circuit");
  EXPECT_EQ(ProtectionToText(0x10), "broken");
  EXPECT_EQ(ProtectionToText(0x00), "safe");
  EXPECT_EQ(ExtPowerToText(0x80), "yes");
  EXPECT_EQ(ExtPowerToText(0x7F), "no");
  EXPECT_EQ(YesNoText(2), "yes");
  EXPECT_EQ(YesNoText(0), "no");
}

// Every code and every refusal reason, byte for byte: operators and support read them.
TEST(ErrorTexts, CodesReasonsAndMessages) {
  const std::pair<SealErrorCode, const char*> codes[] = {
      {0, ""},
      {100001, "Open comport failed."},
      {100002, "Set up comport failed."},
      {100003, "Get comport state failed."},
      {100004, "Get comport state failed."},
      {100005, "Get comport timeout failed."},
      {100006, "Close comport failed."},
      {100007, "Receive error."},
      {100008, "Transmit error."},
      {100009, "CRC error."},
      {100010, "Receive timeout."},
      {100011, "Transmit timeout."},
      {100012, "Framing error, invalid size."},
      {100013, "Addressing error, wrong sender."},
      {100014, "Addressing error, wrong receiver."},
      {100015, "Protocol violation."},
      {100016, "Access denied."},
      {100017, "Authentication failed."},
      {100018, "Key-set is missing."},
      {100019, "Socket error."},
      {100020, "Connection lost."},
      {100021, "Purge operation failed."},
      {100022, ""},
      {100023, "XML document error."},
      {100024, "Invalid size."},
      {100025, ""},
      {100026, ""},
      {100027, ""},
      {100028, "Crypto token error."},
      {100029, ""},
      {100000, ""},
      {-1, ""},
  };
  for (const auto& [code, text] : codes) {
    EXPECT_EQ(ErrorText(code), text) << code;
    if (code != SealError::AccessDenied) {
      EXPECT_EQ(ErrorMessage(code, 3), text) << code;  // a reason belongs to a refusal only
    }
  }
  const std::pair<SealRefusalReason, const char*> reasons[] = {
      {0, ""},
      {1, "Authorization failed."},
      {2, ""},
      {3, "Invalid page number."},
      {4, "Invalid command."},
      {5, "EEPROM read error."},
      {6, "EEPROM write error."},
      {7, ""},
      {1901, "Invalid date or time."},
      {-1, ""},
  };
  for (const auto& [reason, text] : reasons) {
    EXPECT_EQ(ReasonText(reason), text) << reason;
    EXPECT_EQ(ErrorMessage(100016, reason), reason == 0 ? std::string("Access denied.")
                                                        : std::string("Access denied. ") + text)
        << reason;
  }
}
