#pragma once
// Addressed, CRC-checked frames between the reader and its seals, over a serial port
// (TSerialPort) or a TCP connection to a network interface (TEthernetPort).

#include <cstdint>
#include <functional>
#include <string>

#include "com_device.h"
#include "tools.h"

// The reader's own link address.
inline constexpr uint32_t ReaderAddress = 0xFFFFFFFF;
inline constexpr uint16_t MaxFramePayload = 138;
inline constexpr uint16_t FrameHeaderSize = 10;
inline constexpr uint16_t MinFrameBody = 12;
inline constexpr uint16_t MaxFrameBody = 150;
inline constexpr uint8_t FrameStart = 0xC0;
inline constexpr uint8_t FrameEnd = 0xC1;
inline constexpr uint8_t FrameEscape = 0x7D;
inline constexpr uint32_t DefaultPortTimeout = 3000;
inline constexpr uint16_t SealTcpPort = 1418;

class TPort;
using TPortEvent = std::function<void(TPort* sender)>;

class TPort {
 public:
  explicit TPort(uint32_t timeout) : timeout_(timeout) {}
  virtual ~TPort() = default;
  TPort(const TPort&) = delete;
  TPort& operator=(const TPort&) = delete;

  // Sends a frame of n payload bytes to the receiver; InvalidSize when n exceeds 138.
  SealErrorCode SendFrame(uint32_t receiver, const uint8_t* payload, uint16_t n);
  // Receives the next frame for the reader. sender in: the sender expected (0 for any);
  // out: the sender of the frame. payload holds at least MaxFramePayload bytes.
  SealErrorCode ReceiveFrame(uint32_t& sender, uint8_t* payload, uint16_t& n);

  virtual SealErrorCode SendByte(uint8_t b) = 0;
  virtual SealErrorCode ReceiveByte(uint8_t& b) = 0;
  virtual SealErrorCode Open(TPortEvent afterSend, TPortEvent afterReceive) = 0;
  virtual SealErrorCode Close() = 0;
  virtual SealErrorCode Purge() = 0;

  uint32_t Timeout() const { return timeout_; }

 protected:
  SealErrorCode TransmitFrame(const uint8_t* body, uint16_t length);
  SealErrorCode ReceiveRawFrame();
  // Takes one received byte; sets done when the frame has ended.
  SealErrorCode CollectByte(uint8_t b, bool& done);
  // The code a receive ends with when no frame comes in time.
  virtual SealErrorCode ReceiveTimeoutCode() const = 0;

  TPortEvent afterSend_;
  TPortEvent afterReceive_;

 private:
  uint8_t body_[MaxFrameBody] = {};
  uint16_t stored_ = 0;
  bool inFrame_ = false;
  bool escape_ = false;
  const uint32_t timeout_;
};

// Opens a serial port as the seal link expects it: 9600 8N1, no flow control, every
// byte waited for at most timeout ms. The handle stays closed on failure.
SealErrorCode OpenComPort(unsigned number, uint32_t baudRate, uint32_t timeout, platform::ComDevice& handle);
SealErrorCode CloseComPort(platform::ComDevice& handle);
// "COM9", "\\.\COM10": the file name of a COM port.
std::string ComPortFileName(unsigned number);

class TSerialPort : public TPort {
 public:
  explicit TSerialPort(unsigned number, uint32_t timeout = DefaultPortTimeout);
  ~TSerialPort() override;

  SealErrorCode SendByte(uint8_t b) override;
  SealErrorCode ReceiveByte(uint8_t& b) override;
  SealErrorCode Open(TPortEvent afterSend, TPortEvent afterReceive) override;
  SealErrorCode Close() override;
  SealErrorCode Purge() override;

  unsigned Number() const { return number_; }

 protected:
  SealErrorCode ReceiveTimeoutCode() const override { return SealError::ReceiveTimeout; }

 private:
  platform::ComDevice handle_;
  const unsigned number_;
};

class TEthernetPort : public TPort {
 public:
  explicit TEthernetPort(std::string address, uint32_t timeout = DefaultPortTimeout);
  ~TEthernetPort() override;

  SealErrorCode SendByte(uint8_t b) override;
  SealErrorCode ReceiveByte(uint8_t& b) override;
  SealErrorCode Open(TPortEvent afterSend, TPortEvent afterReceive) override;
  SealErrorCode Close() override;
  // Drops what the peer sent and nobody read, so that a late reply to an earlier
  // request is not taken as the answer to the next one.
  SealErrorCode Purge() override;

  const std::string& Address() const { return address_; }

 protected:
  SealErrorCode ReceiveTimeoutCode() const override { return SealError::SocketError; }

 private:
  int socket_ = -1;
  const std::string address_;
};
