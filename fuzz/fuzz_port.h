#pragma once
// A seal link port that receives the bytes it was given and sends into nothing: the
// fuzz targets feed the frame decoder with it.

#include <cstdint>
#include <vector>

#include "crc.h"
#include "port.h"

class FuzzPort : public TPort {
 public:
  explicit FuzzPort(std::vector<uint8_t> wire) : TPort(1000), wire_(std::move(wire)) {}

  SealErrorCode SendByte(uint8_t) override { return 0; }
  SealErrorCode ReceiveByte(uint8_t& b) override {
    if (at_ >= wire_.size()) return SealError::ReceiveTimeout;
    b = wire_[at_++];
    return 0;
  }
  SealErrorCode Open(TPortEvent, TPortEvent) override { return 0; }
  SealErrorCode Close() override { return 0; }
  SealErrorCode Purge() override { return 0; }

  // A whole frame of the payload from sender to the reader, CRC and escapes as a seal
  // sends it.
  static std::vector<uint8_t> Frame(uint32_t sender, const uint8_t* payload, size_t n) {
    std::vector<uint8_t> body;
    auto u32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i) body.push_back(uint8_t(v >> (8 * i)));
    };
    u32(ReaderAddress);
    u32(sender);
    const uint16_t length = uint16_t(n + MinFrameBody);
    body.push_back(uint8_t(length));
    body.push_back(uint8_t(length >> 8));
    body.insert(body.end(), payload, payload + n);
    const uint16_t crc = CalcCrc16(0, body.data(), body.size());
    body.push_back(uint8_t(crc));
    body.push_back(uint8_t(crc >> 8));
    std::vector<uint8_t> wire{FrameStart};
    for (uint8_t b : body) {
      if (b == FrameStart || b == FrameEnd || b == FrameEscape) {
        wire.push_back(FrameEscape);
        b ^= 0x20;
      }
      wire.push_back(b);
    }
    wire.push_back(FrameEnd);
    return wire;
  }

 protected:
  SealErrorCode ReceiveTimeoutCode() const override { return SealError::ReceiveTimeout; }

 private:
  std::vector<uint8_t> wire_;
  size_t at_ = 0;
};
