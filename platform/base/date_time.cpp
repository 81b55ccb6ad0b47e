#include "date_time.h"

#include <chrono>
#include <ctime>

namespace platform {

namespace {

constexpr int64_t DaysTo1970 = 25569;  // 1899-12-30 to 1970-01-01

// Reads a run of digits of the given length bounds starting at pos.
bool ReadField(const std::string& s, size_t& pos, size_t minDigits, size_t maxDigits, int& value) {
  size_t start = pos;
  value = 0;
  while (pos < s.size() && pos - start < maxDigits && s[pos] >= '0' && s[pos] <= '9')
    value = value * 10 + (s[pos++] - '0');
  return pos - start >= minDigits;
}

bool Expect(const std::string& s, size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

int64_t DaysFromCivil(int year, int month, int day) {
  // Howard Hinnant's days_from_civil.
  int64_t y = int64_t(year) - (month <= 2);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

CivilDate CivilFromDays(int64_t z) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int day = int(doy - (153 * mp + 2) / 5 + 1);
  int month = int(mp < 10 ? mp + 3 : mp - 9);
  return {int(yoe + era * 400 + (month <= 2)), month, day};
}

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= lengths[month - 1] + (month == 2 && leap);
}

TDateTime EncodeDate(int year, int month, int day) {
  if (!IsValidDate(year, month, day)) throw EConvertError("Invalid argument to date encode");
  return double(DaysFromCivil(year, month, day) + DaysTo1970);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999)
    throw EConvertError("Invalid argument to time encode");
  return (((hour * 60 + minute) * 60 + second) * 1000 + millisecond) / 86400000.0;
}

TDateTime Now() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = std::time_t(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, int(ms % 1000));
}

TDateTime StrToDate(const std::string& text) {
  size_t pos = 0;
  int y, m, d;
  if (ReadField(text, pos, 4, 4, y) && Expect(text, pos, '-') && ReadField(text, pos, 1, 2, m) &&
      Expect(text, pos, '-') && ReadField(text, pos, 1, 2, d) && pos == text.size() &&
      IsValidDate(y, m, d))
    return EncodeDate(y, m, d);
  throw EConvertError("'" + text + "' is not a valid date");
}

TDateTime StrToTime(const std::string& text) {
  size_t pos = 0;
  int h, m, s = 0;
  bool ok = ReadField(text, pos, 1, 2, h) && Expect(text, pos, ':') && ReadField(text, pos, 1, 2, m);
  if (ok && pos < text.size()) ok = Expect(text, pos, ':') && ReadField(text, pos, 1, 2, s);
  if (ok && pos == text.size() && h < 24 && m < 60 && s < 60) return EncodeTime(h, m, s, 0);
  throw EConvertError("'" + text + "' is not a valid time");
}

}  // namespace platform
