#include "serial_port.h"

#include <cstdio>

namespace {

bool IsControl(uint8_t b) { return b == TokenFrameStart || b == TokenFrameEnd || b == TokenFrameEscape; }

}  // namespace

CSerialPort::CSerialPort(unsigned port) {
  if (port == RefusedTokenPort) throw RefusedTokenPortError;
  char name[64];
  std::snprintf(name, sizeof name, "\\\\.\\COM%u", port);
  if (int e = handle_.Open(name)) throw e;

  platform::LineSettings line;
  int e = handle_.GetLineSettings(line);
  if (e == 0) {
    line.baudRate = 115200;
    line.dataBits = 8;
    line.parity = platform::Parity::None;
    line.stopBits = 1;
    e = handle_.SetLineSettings(line);
  }
  if (e == 0) e = SetTimeouts(OpeningTimeout);
  if (e != 0) {
    handle_.Close();
    throw e;
  }
}

CSerialPort::~CSerialPort() { Close(); }

void CSerialPort::Close() { handle_.Close(); }

int CSerialPort::SetTimeouts(unsigned milliseconds) {
  platform::CommTimeouts t;
  t.readTotalConstant = milliseconds;
  t.writeTotalConstant = milliseconds;
  return handle_.SetTimeouts(t);
}

int CSerialPort::PurgeInput() { return handle_.Purge(platform::PurgeRxAbort | platform::PurgeRxClear); }

int CSerialPort::Write(const uint8_t* data, int count) {
  size_t written = 0;
  if (count <= 0 || handle_.Write(data, size_t(count), written) != 0) return 0;
  return int(written);
}

int CSerialPort::Read(uint8_t* buffer, int count) {
  size_t received = 0;
  if (count <= 0 || handle_.Read(buffer, size_t(count), received) != 0) return 0;
  return int(received);
}

int CSerialPort::WriteFrame(const uint8_t* payload, int count) {
  const uint8_t start = TokenFrameStart, end = TokenFrameEnd, escape = TokenFrameEscape;
  if (Write(&start, 1) == 0) return 0;
  for (int i = 0; i < count; ++i) {
    uint8_t b = payload[i];
    if (IsControl(b)) {
      if (Write(&escape, 1) == 0) return 0;
      b ^= 0x20;
    }
    if (Write(&b, 1) == 0) return 0;
  }
  if (Write(&end, 1) == 0) return 0;
  return count;
}

int CSerialPort::ReadFrame(uint8_t* buffer, int max) {
  // Room for a whole frame of escaped bytes and as much noise again: a line that streams
  // without ever completing a frame must not hold the reader (and the token's lock) for ever.
  const int byteLimit = 4 * max + 4;
  int i = 0;
  bool inFrame = false, escape = false;
  for (int seen = 0;; ++seen) {
    if (i >= max || seen >= byteLimit) return 0;
    uint8_t b;
    if (Read(&b, 1) == 0) return 0;
    switch (b) {
      case TokenFrameEscape:
        escape = true;
        break;
      case TokenFrameStart:
        i = 0;
        inFrame = true;
        escape = false;
        break;
      case TokenFrameEnd:
        if (i > 0) return i;
        i = 0;  // an empty frame, or an end outside any frame
        inFrame = false;
        escape = false;
        break;
      default:
        if (!inFrame) break;
        if (escape) {
          b ^= 0x20;
          escape = false;
        }
        buffer[i++] = b;
        break;
    }
  }
}
