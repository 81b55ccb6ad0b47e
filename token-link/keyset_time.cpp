#include "keyset_time.h"

#include <cstdint>
#include <cwchar>

using platform::FILETIME;
using platform::FileTimeTicksPerSecond;
using platform::SYSTEMTIME;

namespace {

constexpr SYSTEMTIME MilleniumEpoch{2000, 1, 6, 1, 0, 0, 0, 0};

// Formats into the buffer, cut to its size and always terminated; false when cut.
template <typename... Args>
bool FormatInto(wchar_t* buffer, size_t size, const wchar_t* format, Args... args) {
  if (size == 0) return false;
  wchar_t text[128];
  int n = std::swprintf(text, sizeof text / sizeof *text, format, args...);
  if (n < 0) return false;
  size_t length = size_t(n);
  size_t kept = length < size ? length : size - 1;
  std::wmemcpy(buffer, text, kept);
  buffer[kept] = L'\0';
  return kept == length;
}

}  // namespace

bool MilleniumTimeToSystemTime(SYSTEMTIME& out, uint32_t seconds) {
  FILETIME epoch;
  if (!platform::SystemTimeToFileTime(MilleniumEpoch, epoch)) return false;
  int64_t ticks = int64_t(int32_t(seconds)) * int64_t(FileTimeTicksPerSecond);
  return platform::FileTimeToSystemTime(FILETIME(int64_t(epoch) + ticks), out);
}

bool SystemTimeToMilleniumTime(uint32_t& out, const SYSTEMTIME& in) {
  FILETIME epoch, time;
  if (!platform::SystemTimeToFileTime(MilleniumEpoch, epoch) || !platform::SystemTimeToFileTime(in, time))
    return false;
  const int64_t seconds = int64_t(time / FileTimeTicksPerSecond) - int64_t(epoch / FileTimeTicksPerSecond);
  // Only what the signed count reads back: a later or much earlier time would wrap
  // onto another date.
  if (seconds < INT32_MIN || seconds > INT32_MAX) return false;
  out = uint32_t(seconds);
  return true;
}

void FormatMilleniumTime(wchar_t* buffer, size_t size, uint32_t seconds) {
  SYSTEMTIME t;
  if (!MilleniumTimeToSystemTime(t, seconds)) return;
  FormatInto(buffer, size, L"%.4u-%.2u-%.2u %.2u:%.2u:%.2u", unsigned(t.wYear), unsigned(t.wMonth),
             unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond));
}

bool FormatKeysetName(wchar_t* buffer, size_t size, uint32_t keysetNumber, uint32_t keysetTime) {
  wchar_t time[32] = L"";
  FormatMilleniumTime(time, sizeof time / sizeof *time, keysetTime);
  return FormatInto(buffer, size, L"%.5u-%u %ls", unsigned(keysetNumber >> 8), unsigned(keysetNumber & 0xFF), time);
}
