#pragma once
// The link layer of a simulated seal: it decodes the reader's frames from a pseudo-
// terminal or a TCP connection on port 1418 and answers with frames from one or more
// seals, each answering through a handler. It can be told to misbehave on the wire.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"

namespace sim {

inline constexpr uint32_t SimReaderAddress = 0xFFFFFFFF;

// CRC-16/XMODEM, computed bit by bit so it checks the reader's table independently.
uint16_t Crc16Xmodem(const uint8_t* data, size_t count);

// The frame body: receiver, sender, length, payload, CRC.
std::vector<uint8_t> MakeSealFrameBody(uint32_t receiver, uint32_t sender, const std::vector<uint8_t>& payload);
// Start flag, escaped body, end flag.
std::vector<uint8_t> EncodeSealFrame(const std::vector<uint8_t>& body);

struct SealRequest {
  uint32_t receiver = 0;
  uint32_t sender = 0;
  std::vector<uint8_t> payload;
  bool crcOk = false;
  bool lengthOk = false;
};

// Splits a byte stream into frame bodies.
class SealFrameDecoder {
 public:
  // Returns a body each time a frame ends.
  std::optional<std::vector<uint8_t>> Feed(uint8_t b);

 private:
  std::vector<uint8_t> body_;
  bool inFrame_ = false;
  bool escape_ = false;
};

SealRequest ParseSealRequest(const std::vector<uint8_t>& body);

enum class LinkFault {
  None,
  WrongCrc,         // the CRC of the reply is off by one
  WrongLength,      // the length field is changed by param (CRC made over the changed body)
  OversizeBody,     // 151 body bytes before the end flag
  ForeignSender,    // the reply names param as its sender
  ForeignReceiver,  // the reply is addressed to param
  GarbageBefore,    // param noise bytes before the frame
  RestartInside,    // a broken frame start, then the whole frame
  Trickle,          // one byte every param ms
  Silence,          // no reply
  Babble,           // noise every param ms, never a frame, until the next request
  CloseConnection,  // no reply: the TCP connection is closed, or the pty hung up
  ResetConnection,  // no reply: the TCP connection is reset
  LateDuplicate,    // the reply, then the same reply again after param ms
  Late,             // the reply only after param ms
};

struct FaultSpec {
  LinkFault fault = LinkFault::None;
  uint32_t param = 0;
};

// A reply that carries its own link fault; None takes the next queued fault instead.
struct SealReply {
  std::vector<uint8_t> payload;
  FaultSpec fault;
};

class SealLinkSimulator {
 public:
  // Answers a request addressed to this seal (or to 0); no value means no reply.
  using Handler = std::function<std::optional<std::vector<uint8_t>>(const SealRequest&)>;
  using ReplyHandler = std::function<std::optional<SealReply>(const SealRequest&)>;

  SealLinkSimulator();
  ~SealLinkSimulator();
  SealLinkSimulator(const SealLinkSimulator&) = delete;
  SealLinkSimulator& operator=(const SealLinkSimulator&) = delete;

  // A seal that answers every request with the request's own payload unless a handler is given.
  void AddSeal(uint32_t serial, Handler handler = {});
  // A seal whose handler chooses the link fault of each of its replies (the command engine).
  void AddSealHandler(uint32_t serial, ReplyHandler handler);

  // Serves a new pseudo-terminal; returns its device path.
  std::string ServePty();
  PseudoTerminal& Pty() { return *pty_; }
  // Listens on address:1418 (a loopback address of the test's own).
  void ServeTcp(const std::string& address);
  // Listens on a free loopback address of its own choosing; returns the address.
  std::string ServeTcpOnFreeAddress();

  // The next reply (of any seal) is given this fault; faults queue up.
  void InjectFault(FaultSpec fault);
  // Raw bytes sent on the link right away (to the open pty or TCP connection).
  void SendRaw(const std::vector<uint8_t>& bytes);

  std::vector<SealRequest> Requests() const;
  // Waits until at least count requests were decoded.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  int Connections() const { return connections_; }

  void Stop();

 private:
  struct Link;
  void ServeLink(Link& link);
  uint32_t Answer(Link& link, const SealRequest& request);
  void Send(Link& link, uint32_t serial, const std::vector<uint8_t>& payload, FaultSpec fault);
  void RunPty();
  void RunTcp();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::pair<uint32_t, ReplyHandler>> seals_;
  std::deque<FaultSpec> faults_;
  std::vector<SealRequest> requests_;
  std::unique_ptr<PseudoTerminal> pty_;
  int listener_ = -1;
  std::atomic<int> connection_{-1};
  std::atomic<int> connections_{0};
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
};

}  // namespace sim
