#include "port.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "crc.h"

namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool NeedsEscape(uint8_t b) { return b == FrameEscape || b == FrameStart || b == FrameEnd; }

}  // namespace

// ---- TPort ----

SealErrorCode TPort::SendFrame(uint32_t receiver, const uint8_t* payload, uint16_t n) {
  if (n > MaxFramePayload) return SealError::InvalidSize;
  uint8_t body[MaxFrameBody];
  uint16_t length = uint16_t(n + MinFrameBody);
  PutU32(body, receiver);
  PutU32(body + 4, ReaderAddress);
  PutU16(body + 8, length);
  if (n > 0) std::memcpy(body + FrameHeaderSize, payload, n);
  PutU16(body + FrameHeaderSize + n, CalcCrc16(0, body, FrameHeaderSize + n));
  if (SealErrorCode e = TransmitFrame(body, length)) return e;
  if (afterSend_) afterSend_(this);
  return 0;
}

SealErrorCode TPort::TransmitFrame(const uint8_t* body, uint16_t length) {
  if (SealErrorCode e = SendByte(FrameStart)) return e;
  for (uint16_t i = 0; i < length; ++i) {
    uint8_t b = body[i];
    if (NeedsEscape(b)) {
      if (SealErrorCode e = SendByte(FrameEscape)) return e;
      b ^= 0x20;
    }
    if (SealErrorCode e = SendByte(b)) return e;
  }
  return SendByte(FrameEnd);
}

SealErrorCode TPort::ReceiveRawFrame() {
  stored_ = 0;
  inFrame_ = false;
  escape_ = false;
  // A link that keeps sending without ever completing a frame must not hold the
  // caller: one receive lasts at most twice the time-out, ample for a whole frame
  // after the longest wait for its first byte.
  auto deadline = std::chrono::steady_clock::now() + 2 * std::chrono::milliseconds(timeout_);
  for (;;) {
    uint8_t b;
    if (SealErrorCode e = ReceiveByte(b)) return e;
    bool done = false;
    if (SealErrorCode e = CollectByte(b, done)) return e;
    if (done) return 0;
    if (std::chrono::steady_clock::now() >= deadline) return ReceiveTimeoutCode();
  }
}

SealErrorCode TPort::CollectByte(uint8_t b, bool& done) {
  done = false;
  if (!inFrame_) {
    if (b == FrameStart) inFrame_ = true;
    return 0;
  }
  switch (b) {
    case FrameEscape:
      escape_ = true;
      return 0;
    case FrameStart:
      stored_ = 0;
      escape_ = false;
      return 0;
    case FrameEnd:
      done = true;
      return 0;
    default:
      if (stored_ == MaxFrameBody) return SealError::FrameOverflow;
      body_[stored_++] = escape_ ? uint8_t(b ^ 0x20) : b;
      escape_ = false;
      return 0;
  }
}

SealErrorCode TPort::ReceiveFrame(uint32_t& sender, uint8_t* payload, uint16_t& n) {
  if (SealErrorCode e = ReceiveRawFrame()) return e;
  if (stored_ < MinFrameBody) return SealError::InvalidSize;
  uint16_t length = GetU16(body_ + 8);
  if (length < MinFrameBody || length > MaxFrameBody) return SealError::InvalidSize;
  if (stored_ < length || CalcCrc16(0, body_, length - 2) != GetU16(body_ + length - 2)) return SealError::CrcError;
  uint32_t from = GetU32(body_ + 4);
  if (sender != 0 && sender != from) return SealError::WrongSender;
  if (GetU32(body_) != ReaderAddress) return SealError::WrongReceiver;
  sender = from;
  n = uint16_t(length - MinFrameBody);
  std::memcpy(payload, body_ + FrameHeaderSize, n);
  if (afterReceive_) afterReceive_(this);
  return 0;
}

// ---- serial port ----

std::string ComPortFileName(unsigned number) {
  return (number < 10 ? "COM" : "\\\\.\\COM") + std::to_string(number);
}

SealErrorCode OpenComPort(unsigned number, uint32_t baudRate, uint32_t timeout, platform::ComDevice& handle) {
  const std::string name = ComPortFileName(number);
  bool opened = false;
  for (int attempt = 0; attempt < 5 && !opened; ++attempt) {
    opened = handle.Open(name) == 0;
    if (!opened) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (!opened) return SealError::OpenComport;

  auto fail = [&handle](SealErrorCode code) {
    handle.Close();
    return code;
  };
  if (handle.SetQueueSizes(4096, 4096) != 0) return fail(SealError::SetupComport);
  platform::LineSettings line;
  if (handle.GetLineSettings(line) != 0) return fail(SealError::GetComportState);
  line.baudRate = baudRate;
  line.dataBits = 8;
  line.parity = platform::Parity::None;
  line.stopBits = 1;
  line.hardwareFlow = false;
  line.softwareFlow = false;
  line.dtr = false;
  line.rts = false;
  if (handle.SetLineSettings(line) != 0) return fail(SealError::SetComportState);
  platform::CommTimeouts timeouts;
  timeouts.readTotalConstant = timeout;
  timeouts.writeTotalConstant = timeout;
  if (handle.SetTimeouts(timeouts) != 0) return fail(SealError::SetComportTimeouts);
  return 0;
}

SealErrorCode CloseComPort(platform::ComDevice& handle) {
  return handle.Close() == 0 ? 0 : SealError::CloseComport;
}

TSerialPort::TSerialPort(unsigned number, uint32_t timeout) : TPort(timeout), number_(number) {}

TSerialPort::~TSerialPort() {
  if (handle_.IsOpen()) CloseComPort(handle_);
}

SealErrorCode TSerialPort::Open(TPortEvent afterSend, TPortEvent afterReceive) {
  SealErrorCode result = OpenComPort(number_, 9600, Timeout(), handle_);
  afterSend_ = std::move(afterSend);
  afterReceive_ = std::move(afterReceive);
  return result;
}

SealErrorCode TSerialPort::Close() { return CloseComPort(handle_); }

SealErrorCode TSerialPort::SendByte(uint8_t b) {
  size_t written;
  if (handle_.Write(&b, 1, written) != 0) return SealError::TransmitError;
  return written == 1 ? 0 : SealError::TransmitTimeout;
}

SealErrorCode TSerialPort::ReceiveByte(uint8_t& b) {
  size_t received;
  if (handle_.Read(&b, 1, received) != 0) return SealError::ReceiveError;
  return received == 1 ? 0 : SealError::ReceiveTimeout;
}

SealErrorCode TSerialPort::Purge() {
  using namespace platform;
  return handle_.Purge(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear) == 0 ? 0 : SealError::PurgeFailed;
}

// ---- network interface ----

namespace {

timeval ToTimeval(uint32_t ms) { return timeval{time_t(ms / 1000), suseconds_t(ms % 1000 * 1000)}; }

// Connects within the time-out: a plain connect would wait for the system's own.
bool ConnectWithin(int socket, const sockaddr_in& address, uint32_t timeout) {
  int flags = ::fcntl(socket, F_GETFL);
  if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  int r = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (r != 0 && errno != EINPROGRESS) return false;
  if (r != 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    pollfd p{socket, POLLOUT, 0};
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      int n = ::poll(&p, 1, int(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      break;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return false;
  }
  return ::fcntl(socket, F_SETFL, flags) == 0;
}

}  // namespace

TEthernetPort::TEthernetPort(std::string address, uint32_t timeout) : TPort(timeout), address_(std::move(address)) {}

TEthernetPort::~TEthernetPort() { Close(); }

SealErrorCode TEthernetPort::Open(TPortEvent afterSend, TPortEvent afterReceive) {
  Close();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(SealTcpPort);
  if (::inet_pton(AF_INET, address_.c_str(), &address.sin_addr) != 1) return SealError::SocketError;
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return SealError::SocketError;
  timeval t = ToTimeval(Timeout());
  if (::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t) != 0 ||
      ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t) != 0 || !ConnectWithin(s, address, Timeout())) {
    ::close(s);
    return SealError::SocketError;
  }
  socket_ = s;
  afterSend_ = std::move(afterSend);
  afterReceive_ = std::move(afterReceive);
  return 0;
}

SealErrorCode TEthernetPort::Close() {
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
  return 0;
}

SealErrorCode TEthernetPort::SendByte(uint8_t b) {
  for (;;) {
    // MSG_NOSIGNAL: a reset peer gives an error, not a signal that ends the program.
    ssize_t n = ::send(socket_, &b, 1, MSG_NOSIGNAL);
    if (n == 1) return 0;
    if (n < 0 && errno == EINTR) continue;
    return SealError::SocketError;
  }
}

SealErrorCode TEthernetPort::ReceiveByte(uint8_t& b) {
  for (;;) {
    ssize_t n = ::recv(socket_, &b, 1, 0);
    if (n == 1) return 0;
    if (n == 0) return SealError::ConnectionLost;
    if (errno == EINTR) continue;
    return SealError::SocketError;
  }
}

SealErrorCode TEthernetPort::Purge() {
  if (socket_ < 0) return 0;
  uint8_t scrap[512];
  for (;;) {
    ssize_t n = ::recv(socket_, scrap, sizeof scrap, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return 0;  // nothing more to read now; a closed peer shows at the next receive
  }
}
