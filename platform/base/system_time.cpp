#include "system_time.h"

#include "date_time.h"

namespace platform {

namespace {

constexpr int MinYear = 1601;
constexpr int MaxYear = 30827;
constexpr int64_t SecondsPerDay = 86400;
constexpr uint64_t TicksPerMillisecond = FileTimeTicksPerSecond / 1000;
constexpr uint64_t TicksPerDay = SecondsPerDay * FileTimeTicksPerSecond;
constexpr uint64_t MaxFileTime = 0x7FFFFFFFFFFFFFFFull;

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return lengths[month - 1] + (month == 2 && IsLeap(year));
}

// Day 0 of the count.
const int64_t DaysTo1601 = DaysFromCivil(1601, 1, 1);

}  // namespace

bool SystemTimeToFileTime(const SYSTEMTIME& in, FILETIME& out) {
  if (in.wYear < MinYear || in.wYear > MaxYear || in.wMonth < 1 || in.wMonth > 12 || in.wDay < 1 ||
      in.wDay > DaysInMonth(in.wYear, in.wMonth) || in.wHour > 23 || in.wMinute > 59 || in.wSecond > 59 ||
      in.wMilliseconds > 999)
    return false;
  uint64_t days = uint64_t(DaysFromCivil(in.wYear, in.wMonth, in.wDay) - DaysTo1601);
  uint64_t seconds = (uint64_t(in.wHour) * 60 + in.wMinute) * 60 + in.wSecond;
  out = days * TicksPerDay + seconds * FileTimeTicksPerSecond + in.wMilliseconds * TicksPerMillisecond;
  return true;
}

bool FileTimeToSystemTime(FILETIME in, SYSTEMTIME& out) {
  if (in > MaxFileTime) return false;
  int64_t days = int64_t(in / TicksPerDay);
  uint64_t rest = in % TicksPerDay;
  CivilDate date = CivilFromDays(days + DaysTo1601);
  uint64_t milliseconds = rest / TicksPerMillisecond;
  uint64_t seconds = milliseconds / 1000;
  out.wYear = uint16_t(date.year);
  out.wMonth = uint16_t(date.month);
  out.wDay = uint16_t(date.day);
  out.wDayOfWeek = uint16_t((days + 1) % 7);  // 1601-01-01 was a Monday
  out.wHour = uint16_t(seconds / 3600);
  out.wMinute = uint16_t(seconds / 60 % 60);
  out.wSecond = uint16_t(seconds % 60);
  out.wMilliseconds = uint16_t(milliseconds % 1000);
  return true;
}

}  // namespace platform
