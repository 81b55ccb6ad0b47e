#pragma once
// Key-set times ("Millenium" seconds since 2000-01-01 00:00:00) and the display names
// of key-sets. No time zone anywhere: the count and the calendar time are the same clock.

#include <cstddef>
#include <cstdint>

#include "system_time.h"

// The longest key-set display name is 34 characters; callers give buffers of this size.
inline constexpr size_t KeysetNameSize = 100;

// The count is read as signed: 0xFFFFFFFF is 1999-12-31 23:59:59.
bool MilleniumTimeToSystemTime(platform::SYSTEMTIME& out, uint32_t seconds);
// Milliseconds are dropped; a time before 2000 wraps to a large count. False for a time
// the signed count cannot hold (before 1931-12-13 20:45:52, after 2068-01-19 03:14:07).
bool SystemTimeToMilleniumTime(uint32_t& out, const platform::SYSTEMTIME& in);
// "yyyy-mm-dd hh:mm:ss", cut to the buffer's size (in characters, terminator included).
void FormatMilleniumTime(wchar_t* buffer, size_t size, uint32_t seconds);
// "%.5u-%u %s": serial part, key-set index, time text. False when it does not fit.
bool FormatKeysetName(wchar_t* buffer, size_t size, uint32_t keysetNumber, uint32_t keysetTime);
