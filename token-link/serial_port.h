#pragma once
// The one open connection to a crypto token: its virtual COM port at 115200 8N1, and
// the byte-stuffed frames the token speaks. No checksum, address or length on the wire:
// the command layer writes one request frame and reads one reply frame.

#include <cstdint>

#include "com_device.h"

inline constexpr uint8_t TokenFrameStart = 0xC0;
inline constexpr uint8_t TokenFrameEnd = 0xC1;
inline constexpr uint8_t TokenFrameEscape = 0x7D;

// The port that is never opened, and the error code its constructor throws.
inline constexpr unsigned RefusedTokenPort = 16;
inline constexpr int RefusedTokenPortError = 88;

// Every byte is waited for at most this long until the token has answered.
inline constexpr unsigned OpeningTimeout = 100;

class CSerialPort {
 public:
  // Opens "\\.\COM<port>" exclusively and configures it. Throws the error code (int):
  // 88 for port 16, else the platform's code of the failing step (PortInUseError
  // when another program holds the port).
  explicit CSerialPort(unsigned port);
  ~CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  void Close();
  // Read and write total constants of milliseconds, all else 0. 0 or the error code.
  int SetTimeouts(unsigned milliseconds);
  // Drops what the token sent and nobody read. 0 or the error code.
  int PurgeInput();

  // One transfer each; the number of bytes moved (0 on a time-out or a failure).
  int Write(const uint8_t* data, int count);
  int Read(uint8_t* buffer, int count);

  // count when the whole frame went out, else 0.
  int WriteFrame(const uint8_t* payload, int count);
  // The payload length (at least 1) of the next complete frame, or 0: silence for the
  // time-out, a frame of max or more payload bytes, or a line that streams more bytes
  // than a frame of max bytes could take (4 * max + 4) without completing one.
  int ReadFrame(uint8_t* buffer, int max);

 private:
  platform::ComDevice handle_;
};
