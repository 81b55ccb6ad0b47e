#include "seal_link_sim.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
  return uint32_t(v[at]) | uint32_t(v[at + 1]) << 8 | uint32_t(v[at + 2]) << 16 | uint32_t(v[at + 3]) << 24;
}

void SetCrc(std::vector<uint8_t>& body) {
  uint16_t crc = Crc16Xmodem(body.data(), body.size() - 2);
  body[body.size() - 2] = uint8_t(crc);
  body[body.size() - 1] = uint8_t(crc >> 8);
}

}  // namespace

uint16_t Crc16Xmodem(const uint8_t* data, size_t count) {
  uint16_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= uint16_t(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

std::vector<uint8_t> MakeSealFrameBody(uint32_t receiver, uint32_t sender, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> body;
  Put32(body, receiver);
  Put32(body, sender);
  Put16(body, uint16_t(payload.size() + 12));
  body.insert(body.end(), payload.begin(), payload.end());
  Put16(body, 0);
  SetCrc(body);
  return body;
}

std::vector<uint8_t> EncodeSealFrame(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> wire{0xC0};
  for (uint8_t b : body) {
    if (b == 0x7D || b == 0xC0 || b == 0xC1) {
      wire.push_back(0x7D);
      wire.push_back(b ^ 0x20);
    } else {
      wire.push_back(b);
    }
  }
  wire.push_back(0xC1);
  return wire;
}

std::optional<std::vector<uint8_t>> SealFrameDecoder::Feed(uint8_t b) {
  if (b == 0xC0) {
    inFrame_ = true;
    escape_ = false;
    body_.clear();
    return std::nullopt;
  }
  if (!inFrame_) return std::nullopt;
  if (b == 0xC1) {
    inFrame_ = false;
    return std::move(body_);
  }
  if (b == 0x7D) {
    escape_ = true;
    return std::nullopt;
  }
  body_.push_back(escape_ ? uint8_t(b ^ 0x20) : b);
  escape_ = false;
  return std::nullopt;
}

SealRequest ParseSealRequest(const std::vector<uint8_t>& body) {
  SealRequest r;
  if (body.size() < 12) return r;
  r.receiver = Get32(body, 0);
  r.sender = Get32(body, 4);
  size_t length = size_t(body[8] | body[9] << 8);
  r.lengthOk = length == body.size();
  size_t used = std::min(length, body.size());
  if (used >= 12) {
    r.payload.assign(body.begin() + 10, body.begin() + long(used) - 2);
    uint16_t crc = uint16_t(body[used - 2] | body[used - 1] << 8);
    r.crcOk = crc == Crc16Xmodem(body.data(), used - 2);
  }
  return r;
}

// One open transport: the pty or the current TCP connection.
struct SealLinkSimulator::Link {
  std::function<std::optional<uint8_t>(std::chrono::milliseconds)> readByte;
  std::function<void(const uint8_t*, size_t)> write;
  std::function<void(bool reset)> drop;  // ends the connection or hangs the line up
  bool dropped = false;
};

SealLinkSimulator::SealLinkSimulator() {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe");
}

SealLinkSimulator::~SealLinkSimulator() {
  Stop();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void SealLinkSimulator::Stop() {
  if (stopping_.exchange(true)) return;
  char c = 1;
  [[maybe_unused]] auto r = ::write(wake_[1], &c, 1);
  if (pty_) pty_->Wake();
  for (auto& t : threads_) t.join();
  threads_.clear();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void SealLinkSimulator::AddSeal(uint32_t serial, Handler handler) {
  if (!handler) handler = [](const SealRequest& r) { return std::optional(r.payload); };
  AddSealHandler(serial, [handler = std::move(handler)](const SealRequest& r) -> std::optional<SealReply> {
    auto payload = handler(r);
    if (!payload) return std::nullopt;
    return SealReply{std::move(*payload), {}};
  });
}

void SealLinkSimulator::AddSealHandler(uint32_t serial, ReplyHandler handler) {
  std::lock_guard lock(mutex_);
  seals_.emplace_back(serial, std::move(handler));
}

void SealLinkSimulator::InjectFault(FaultSpec fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

std::vector<SealRequest> SealLinkSimulator::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool SealLinkSimulator::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void SealLinkSimulator::SendRaw(const std::vector<uint8_t>& bytes) {
  if (pty_) pty_->Write(bytes);
  int c = connection_;
  if (c >= 0) [[maybe_unused]] auto r = ::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::string SealLinkSimulator::ServePty() {
  pty_ = std::make_unique<PseudoTerminal>();
  threads_.emplace_back([this] { RunPty(); });
  return pty_->Path();
}

void SealLinkSimulator::RunPty() {
  Link link;
  link.readByte = [this](std::chrono::milliseconds t) { return pty_->ReadByte(t); };
  link.write = [this](const uint8_t* b, size_t n) { pty_->Write(b, n); };
  link.drop = [this](bool) { pty_->Unplug(); };
  ServeLink(link);
}

void SealLinkSimulator::ServeTcp(const std::string& address) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(1418);
  if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0) {
    std::string why = std::strerror(errno);
    ::close(listener_);
    listener_ = -1;
    throw std::runtime_error("seal simulator cannot listen on " + address + ": " + why);
  }
  threads_.emplace_back([this] { RunTcp(); });
}

std::string SealLinkSimulator::ServeTcpOnFreeAddress() {
  // Tests run in parallel processes: each draws its own address from 127.64.0.0/10.
  uint32_t seed = uint32_t(::getpid()) * 2654435761u ^ uint32_t(reinterpret_cast<uintptr_t>(this));
  for (int attempt = 0; attempt < 64; ++attempt) {
    seed = seed * 1103515245u + 12345u;
    uint32_t host = 0x7F400000u | (seed >> 8 & 0x3FFFFF);
    if ((host & 0xFF) == 0 || (host & 0xFF) == 0xFF) continue;
    std::string address = std::to_string(host >> 24) + "." + std::to_string(host >> 16 & 0xFF) + "." +
                          std::to_string(host >> 8 & 0xFF) + "." + std::to_string(host & 0xFF);
    try {
      ServeTcp(address);
      return address;
    } catch (const std::runtime_error&) {
    }
  }
  throw std::runtime_error("seal simulator found no free loopback address");
}

void SealLinkSimulator::RunTcp() {
  while (!stopping_) {
    pollfd p[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) continue;
    int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    connection_ = c;
    ++connections_;
    Link link;
    link.readByte = [this, c](std::chrono::milliseconds t) -> std::optional<uint8_t> {
      pollfd q[2] = {{c, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(q, 2, int(t.count())) <= 0 || (q[1].revents & POLLIN)) return std::nullopt;
      uint8_t b;
      if (::recv(c, &b, 1, 0) != 1) return std::nullopt;
      return b;
    };
    link.write = [c](const uint8_t* b, size_t n) { [[maybe_unused]] auto r = ::send(c, b, n, MSG_NOSIGNAL); };
    bool closed = false;
    link.drop = [c, &closed](bool reset) {
      if (!reset) {
        ::shutdown(c, SHUT_RDWR);
        return;
      }
      linger l{1, 0};  // closing now sends a reset, not an orderly end
      ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ::close(c);
      closed = true;
    };
    ServeLink(link);
    connection_ = -1;
    if (!closed) ::close(c);
  }
}

// Reads frames until the link ends; a pty link ends only when the simulator stops.
void SealLinkSimulator::ServeLink(Link& link) {
  SealFrameDecoder decoder;
  uint32_t babble = 0;
  auto lastBabble = std::chrono::steady_clock::now();
  bool isTcp = connection_ >= 0;
  while (!stopping_ && !link.dropped) {
    auto wait = std::chrono::milliseconds(babble ? babble : 50);
    auto b = link.readByte(wait);
    if (babble && std::chrono::steady_clock::now() - lastBabble >= std::chrono::milliseconds(babble)) {
      static const uint8_t noise[] = {0x55};
      link.write(noise, 1);
      lastBabble = std::chrono::steady_clock::now();
    }
    if (!b) {
      // A TCP peer that closed shows as readable with nothing to read.
      if (isTcp) {
        pollfd q{connection_, POLLIN, 0};
        uint8_t scrap;
        if (::poll(&q, 1, 0) > 0 && ::recv(connection_, &scrap, 1, MSG_PEEK) <= 0) return;
      }
      continue;
    }
    auto body = decoder.Feed(*b);
    if (!body) continue;
    SealRequest request = ParseSealRequest(*body);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    if (!request.crcOk || !request.lengthOk || request.sender != SimReaderAddress) continue;
    babble = Answer(link, request);
  }
}

// Each seal addressed answers in turn; returns the babble period a fault asked for.
uint32_t SealLinkSimulator::Answer(Link& link, const SealRequest& request) {
  std::vector<std::pair<uint32_t, ReplyHandler>> seals;
  {
    std::lock_guard lock(mutex_);
    seals = seals_;
  }
  uint32_t babble = 0;
  for (auto& [serial, handler] : seals) {
    if (request.receiver != 0 && request.receiver != serial) continue;
    auto reply = handler(request);
    if (!reply) continue;
    FaultSpec fault = reply->fault;
    if (fault.fault == LinkFault::None) {
      std::lock_guard lock(mutex_);
      if (!faults_.empty()) {
        fault = faults_.front();
        faults_.pop_front();
      }
    }
    if (fault.fault == LinkFault::Babble) babble = std::max<uint32_t>(fault.param, 1);
    Send(link, serial, reply->payload, fault);
  }
  return babble;
}

void SealLinkSimulator::Send(Link& link, uint32_t serial, const std::vector<uint8_t>& payload, FaultSpec fault) {
  auto pause = [this](uint32_t ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  uint32_t receiver = SimReaderAddress, sender = serial;
  if (fault.fault == LinkFault::ForeignSender) sender = fault.param;
  if (fault.fault == LinkFault::ForeignReceiver) receiver = fault.param;
  std::vector<uint8_t> body = MakeSealFrameBody(receiver, sender, payload);
  switch (fault.fault) {
    case LinkFault::WrongCrc:
      body[body.size() - 2] ^= 0x01;
      break;
    case LinkFault::WrongLength: {
      uint16_t length = uint16_t(body.size() + int32_t(fault.param));
      body[8] = uint8_t(length);
      body[9] = uint8_t(length >> 8);
      SetCrc(body);
      break;
    }
    case LinkFault::OversizeBody:
      body.resize(151, 0x11);
      break;
    case LinkFault::Silence:
    case LinkFault::Babble:
      return;
    case LinkFault::CloseConnection:
    case LinkFault::ResetConnection:
      link.drop(fault.fault == LinkFault::ResetConnection);
      link.dropped = true;
      return;
    case LinkFault::Late:
      pause(fault.param);
      break;
    default:
      break;
  }
  std::vector<uint8_t> wire = EncodeSealFrame(body);
  if (fault.fault == LinkFault::GarbageBefore) {
    std::vector<uint8_t> noise;
    for (uint32_t i = 0; i < std::max<uint32_t>(fault.param, 1); ++i) noise.push_back(uint8_t(0x30 + i % 64));
    wire.insert(wire.begin(), noise.begin(), noise.end());
  }
  if (fault.fault == LinkFault::RestartInside) {
    std::vector<uint8_t> broken{0xC0, 0x12, 0x34, 0x56};
    wire.insert(wire.begin(), broken.begin(), broken.end());
  }
  if (fault.fault == LinkFault::Trickle) {
    for (uint8_t b : wire) {
      if (stopping_) return;
      link.write(&b, 1);
      pause(fault.param);
    }
    return;
  }
  link.write(wire.data(), wire.size());
  if (fault.fault == LinkFault::LateDuplicate) {
    pause(fault.param);
    link.write(wire.data(), wire.size());
  }
}

}  // namespace sim
