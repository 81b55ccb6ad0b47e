#pragma once
// The tester's serial link: the port object that the control embeds, one text command
// out with a carriage return, one reply in that ends at the first "ok", and the number
// parser for the values in a reply.

#include <chrono>
#include <cstdint>

#include "com.h"
#include "com_device.h"

class CDevicePort {
 public:
  CDevicePort() = default;
  ~CDevicePort() { Close(); }
  CDevicePort(const CDevicePort&) = delete;
  CDevicePort& operator=(const CDevicePort&) = delete;

  // S_OK, or 0x80070000 | the Win32 error of the first step that failed. The number is
  // kept even when opening fails; an open port stays open after a failed line setup.
  HRESULT Open(uint8_t number);
  HRESULT Close();
  int32_t GetNumber() const { return number_; }
  bool IsOpen() const { return device_.IsOpen(); }

  // Purges both directions, then writes the command and a CR; the bytes written.
  int WriteCommand(const char* command);
  // Reads byte by byte until "ok": the index of its "k" (the text then ends with a NUL),
  // 0 when a byte did not come within the read time-out, -1 when length - 1 bytes came
  // without "ok" (the buffer is then not terminated).
  int ReadReply(char* buffer, int length);

  static constexpr std::chrono::milliseconds RetryDelay{150};
  static constexpr uint32_t ReadTimeoutMs = 1000;

 private:
  int32_t number_ = 0;
  platform::ComDevice device_;
};

// Reads one number at *position as the 32-bit C runtime's strtol does (values beyond 32
// bits are clamped) after skipping blanks and line ends; moves *position past it. No
// digit gives 0 and leaves the position at that character.
int32_t ParseInt(const char** position, int base);
