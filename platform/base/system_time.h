#pragma once
// A calendar time split into fields, and its conversion to and from a count of 100 ns
// ticks since 1601-01-01 00:00:00, as the system's own calendar-time calls expect them.
// Neither step knows a time zone: both sides are the same clock.

#include <cstdint>

namespace platform {

struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;      // 1 to 12
  uint16_t wDayOfWeek;  // 0 Sunday to 6 Saturday; ignored on input
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

// Ticks of 100 ns since 1601-01-01 00:00:00.
using FILETIME = uint64_t;

inline constexpr uint64_t FileTimeTicksPerSecond = 10'000'000;

// False when a field is out of range: the year outside 1601 to 30827, a month, day,
// hour, minute, second or millisecond that does not exist. out is then untouched.
bool SystemTimeToFileTime(const SYSTEMTIME& in, FILETIME& out);
// False for counts with the top bit set (beyond the year 30828). out is then untouched.
bool FileTimeToSystemTime(FILETIME in, SYSTEMTIME& out);

}  // namespace platform
