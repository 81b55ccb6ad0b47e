#pragma once
// The window framework's date-time: a real number of days since 1899-12-30, the time
// of day as the fraction, in the computer's local wall-clock time. Arithmetic on it
// never applies a time zone or a daylight-saving step.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

using TDateTime = double;

// The framework's conversion error, raised by text parsers.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CivilDate {
  int year, month, day;
};

// Days from 1970-01-01 to the date in the proleptic Gregorian calendar, and back.
int64_t DaysFromCivil(int year, int month, int day);
CivilDate CivilFromDays(int64_t days);
bool IsValidDate(int year, int month, int day);

// Raise EConvertError for dates and times that do not exist.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);

// The local date-time now, to the millisecond.
TDateTime Now();

// Strict parsers of "yyyy-mm-dd" and "hh:mm:ss" (one or two digits for the fields
// but the year); text that does not parse raises EConvertError.
TDateTime StrToDate(const std::string& text);
TDateTime StrToTime(const std::string& text);

}  // namespace platform
