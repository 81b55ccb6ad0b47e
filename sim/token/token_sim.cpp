#include "token_sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <openssl/evp.h>
#include <stdexcept>
#include <unistd.h>

#include "port_map.h"

namespace sim {

namespace {

constexpr uint8_t Start = 0xC0, End = 0xC1, Escape = 0x7D;
constexpr uint16_t Marker = 0x8000, LockBit = 0x0002, ErrorBit = 0x0001;
constexpr size_t MaxRequestPayload = 74;
constexpr size_t RecordSize = 72;
constexpr char EraseWord[] = "ERASEALL";

void PutU16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

template <size_t N>
bool Equal(const std::array<uint8_t, N>& a, const uint8_t* b) {
  return std::memcmp(a.data(), b, N) == 0;
}

template <size_t N>
void Copy(std::array<uint8_t, N>& a, const uint8_t* b) {
  std::memcpy(a.data(), b, N);
}

}  // namespace

bool TokenCipher(const Key16& key, uint8_t* block, size_t length, bool encrypt) {
  // Two-key triple DES is K1, K2, K1: the default provider's DES-EDE, never single DES.
  const EVP_CIPHER* cipher = length == 16 ? EVP_aes_128_ecb() : length == 8 ? EVP_des_ede_ecb() : nullptr;
  if (!cipher) return false;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return false;
  uint8_t out[32];
  int n = 0, tail = 0;
  bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), nullptr, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_CipherUpdate(ctx, out, &n, block, int(length)) == 1 &&
            EVP_CipherFinal_ex(ctx, out + n, &tail) == 1 && size_t(n + tail) == length;
  EVP_CIPHER_CTX_free(ctx);
  if (ok) std::memcpy(block, out, length);
  return ok;
}

Key16 FirmwareResponse(const Key16& firmwareKey, const Key16& challenge) {
  Key16 response = challenge;
  TokenCipher(firmwareKey, response.data(), response.size(), true);
  return response;
}

std::vector<uint8_t> EncodeTokenFrame(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> wire{Start};
  for (uint8_t b : payload) {
    if (b == Start || b == End || b == Escape) {
      wire.push_back(Escape);
      b ^= 0x20;
    }
    wire.push_back(b);
  }
  wire.push_back(End);
  return wire;
}

// ---- TokenSimulator ----

TokenSimulator::TokenSimulator(uint32_t serial, int capacity) : serial_(serial), capacity_(capacity) {}

TokenSimulator::~TokenSimulator() { Unplug(); }

std::string TokenSimulator::Plug() {
  Unplug();
  auto pty = std::make_unique<PseudoTerminal>();
  std::string path = pty->Path();
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    locked_ = passwordSet_;
    selected_.reset();
  }
  pty_ = std::move(pty);
  thread_ = std::thread([this, pty = pty_.get()] { Serve(*pty); });
  return path;
}

void TokenSimulator::StopServing() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (pty_) pty_->Wake();
  if (thread_.joinable()) thread_.join();
}

void TokenSimulator::Unplug() {
  StopServing();
  if (pty_) pty_->Unplug();
  pty_.reset();
}

bool TokenSimulator::Plugged() const { return pty_ && pty_->Plugged(); }

std::string TokenSimulator::Path() const { return pty_ ? pty_->Path() : std::string(); }

void TokenSimulator::SetSerial(uint32_t serial) {
  std::lock_guard lock(mutex_);
  serial_ = serial;
}

uint32_t TokenSimulator::Serial() const {
  std::lock_guard lock(mutex_);
  return serial_;
}

void TokenSimulator::SetCapacity(int capacity) {
  std::lock_guard lock(mutex_);
  capacity_ = capacity;
}

void TokenSimulator::SetKeysets(std::vector<SimKeyset> keysets) {
  std::lock_guard lock(mutex_);
  keysets_ = std::move(keysets);
  selected_.reset();
}

void TokenSimulator::AddKeyset(const SimKeyset& keyset) {
  std::lock_guard lock(mutex_);
  keysets_.push_back(keyset);
}

std::vector<SimKeyset> TokenSimulator::Keysets() const {
  std::lock_guard lock(mutex_);
  return keysets_;
}

void TokenSimulator::SetPassword(const Key16& key, const Key16& verifier, const Salt8& salt, bool locked) {
  std::lock_guard lock(mutex_);
  passwordSet_ = true;
  passwordKey_ = key;
  passwordVerifier_ = verifier;
  salt_ = salt;
  locked_ = locked;
}

bool TokenSimulator::Locked() const {
  std::lock_guard lock(mutex_);
  return locked_;
}

void TokenSimulator::SetBslPassword(const Bsl32& password) {
  std::lock_guard lock(mutex_);
  bsl_ = password;
}

Bsl32 TokenSimulator::BslPassword() const {
  std::lock_guard lock(mutex_);
  return bsl_;
}

void TokenSimulator::SetFirmwareKey(const Key16& key) {
  std::lock_guard lock(mutex_);
  firmwareKey_ = key;
}

void TokenSimulator::SetFirmwareDelay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  firmwareDelay_ = delay;
}

void TokenSimulator::InjectFault(TokenFaultSpec fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

void TokenSimulator::SendRaw(const std::vector<uint8_t>& bytes) {
  if (pty_) pty_->Write(bytes);
}

std::vector<TokenRequest> TokenSimulator::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void TokenSimulator::ClearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

bool TokenSimulator::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

size_t TokenSimulator::Answered() const {
  std::lock_guard lock(mutex_);
  return answered_;
}

bool TokenSimulator::WaitForAnswered(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return answered_ >= count; });
}

bool TokenSimulator::SleepFor(std::chrono::milliseconds delay) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, delay, [&] { return stopping_; });
}

void TokenSimulator::Serve(PseudoTerminal& pty) {
  std::vector<uint8_t> frame;
  bool inFrame = false, escape = false;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    if (!pty.Plugged()) return;
    auto got = pty.ReadByte(std::chrono::milliseconds(50));
    if (!got) continue;
    uint8_t b = *got;
    if (b == Escape) {
      escape = true;
      continue;
    }
    if (b == Start) {
      frame.clear();
      inFrame = true;
      escape = false;
      continue;
    }
    if (b == End) {
      bool complete = inFrame && frame.size() >= 2;
      inFrame = false;
      escape = false;
      if (!complete) continue;
      TokenRequest request{GetU16(frame.data()), std::vector<uint8_t>(frame.begin() + 2, frame.end())};
      TokenFaultSpec fault;
      std::vector<uint8_t> payload;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (!faults_.empty() && (faults_.front().command < 0 || faults_.front().command == request.command)) {
          fault = std::move(faults_.front());
          faults_.pop_front();
        }
        if (fault.fault == TokenFault::ErrorBit) {
          // The token refused: nothing of the command happens.
          payload.clear();
          PutU16(payload, uint16_t(Marker | ErrorBit | (locked_ ? LockBit : 0)));
        }
      }
      changed_.notify_all();
      if (fault.fault != TokenFault::ErrorBit) payload = Answer(request);
      Send(pty, request.command, std::move(payload), fault);
      {
        std::lock_guard lock(mutex_);
        ++answered_;
      }
      changed_.notify_all();
      if (fault.fault == TokenFault::Unplug) return;
      continue;
    }
    if (!inFrame) continue;
    if (escape) {
      b ^= 0x20;
      escape = false;
    }
    if (frame.size() == MaxRequestPayload) {
      inFrame = false;  // longer than any request: not for us
      continue;
    }
    frame.push_back(b);
  }
}

std::vector<uint8_t> TokenSimulator::Answer(const TokenRequest& request) {
  std::vector<uint8_t> data;
  bool error = false;
  const auto& in = request.data;
  auto size = [&](size_t n) { return in.size() == n; };

  if (request.command == 18) {
    // The long one: the token computes for a while before it answers.
    std::chrono::milliseconds delay;
    Key16 key;
    {
      std::lock_guard lock(mutex_);
      delay = firmwareDelay_;
      key = firmwareKey_;
    }
    if (!size(16)) {
      error = true;
    } else {
      SleepFor(delay);
      Key16 challenge;
      Copy(challenge, in.data());
      Key16 response = FirmwareResponse(key, challenge);
      data.assign(response.begin(), response.end());
    }
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> payload;
    PutU16(payload, uint16_t(Marker | (locked_ ? LockBit : 0) | (error ? ErrorBit : 0)));
    if (!error) payload.insert(payload.end(), data.begin(), data.end());
    return payload;
  }

  std::lock_guard lock(mutex_);
  auto tableReply = [&](const SimKeyset* k) {
    PutU16(data, uint16_t(capacity_));
    PutU16(data, uint16_t(keysets_.size()));
    PutU32(data, k ? k->number : 0);
    PutU32(data, k ? k->time : 0);
    data.push_back(k ? k->flags : 0);
  };
  switch (request.command) {
    case 1:  // Ping
      if (!size(0)) { error = true; break; }
      PutU32(data, serial_);
      data.insert(data.end(), SimTokenVersion, SimTokenVersion + 2);
      break;
    case 2:  // salt of the password
      if (!size(0)) { error = true; break; }
      data.assign(salt_.begin(), salt_.end());
      break;
    case 3:  // unlock; a wrong password leaves the lock on
      if (!size(32)) { error = true; break; }
      if (!passwordSet_ || (Equal(passwordKey_, in.data()) && Equal(passwordVerifier_, in.data() + 16)))
        locked_ = false;
      break;
    case 4: {  // one entry of the table
      if (!size(2) || locked_) { error = true; break; }
      size_t index = GetU16(in.data());
      if (index < keysets_.size()) tableReply(&keysets_[index]);
      else if (index == 0) tableReply(nullptr);
      else error = true;
      break;
    }
    case 5: {
      if (!size(2) || locked_) { error = true; break; }
      size_t index = GetU16(in.data());
      if (index < keysets_.size()) selected_ = index;
      else error = true;
      break;
    }
    case 6: case 7: case 8: case 9: case 10: case 11: case 12: case 13: {
      int keyType = (request.command - 6) / 2;
      bool encrypt = request.command % 2 == 1;
      if (locked_ || !selected_ || *selected_ >= keysets_.size() || !(keysets_[*selected_].flags >> keyType & 1)) {
        error = true;
        break;
      }
      data = in;
      error = !TokenCipher(keysets_[*selected_].keys[size_t(keyType)], data.data(), data.size(), encrypt);
      break;
    }
    case 14: {  // store a key-set
      if (!size(RecordSize) || locked_ || int(keysets_.size()) >= capacity_) { error = true; break; }
      SimKeyset k;
      k.number = GetU32(in.data());
      k.time = GetU32(in.data() + 4);
      k.flags = 0x0F;
      for (size_t t = 0; t < 4; ++t) Copy(k.keys[t], in.data() + 8 + 16 * t);
      keysets_.push_back(k);
      tableReply(&keysets_.back());
      break;
    }
    case 15:  // erase all, whatever the lock
      if (!size(8) || std::memcmp(in.data(), EraseWord, 8) != 0) { error = true; break; }
      keysets_.clear();
      selected_.reset();
      break;
    case 16:  // a new password; it locks from the next power-up on
      if (!size(40) || locked_) { error = true; break; }
      passwordSet_ = true;
      Copy(passwordKey_, in.data());
      Copy(passwordVerifier_, in.data() + 16);
      Copy(salt_, in.data() + 32);
      break;
    case 17:  // the bootstrap loader's password
      if (!size(64) || !Equal(bsl_, in.data())) { error = true; break; }
      Copy(bsl_, in.data() + 32);
      break;
    default:
      error = true;
      break;
  }
  std::vector<uint8_t> payload;
  PutU16(payload, uint16_t(Marker | (locked_ ? LockBit : 0) | (error ? ErrorBit : 0)));
  if (!error) payload.insert(payload.end(), data.begin(), data.end());
  return payload;
}

void TokenSimulator::Send(PseudoTerminal& pty, uint16_t command, std::vector<uint8_t> payload,
                          const TokenFaultSpec& fault) {
  switch (fault.fault) {
    case TokenFault::NoMarker:
      payload[1] &= 0x7F;
      break;
    case TokenFault::WrongLength:
      payload.insert(payload.end(), std::max<uint32_t>(fault.param, 1), 0x5A);
      break;
    case TokenFault::ForeignSerial:
      if (command == 1 && payload.size() >= 6)
        for (int i = 0; i < 4; ++i) payload[size_t(2 + i)] = uint8_t(fault.param >> (8 * i));
      break;
    case TokenFault::Raw:
      payload = fault.payload;
      break;
    case TokenFault::Silence:
      return;
    default:
      break;
  }
  std::vector<uint8_t> wire = EncodeTokenFrame(payload);
  std::vector<uint8_t> before;
  if (fault.fault == TokenFault::Garbage)
    for (uint32_t i = 0; i < fault.param; ++i) before.push_back(uint8_t(0x30 + i % 64));
  if (fault.fault == TokenFault::EmptyFrames)
    for (uint32_t i = 0; i < fault.param; ++i) before.insert(before.end(), {Start, End});
  wire.insert(wire.begin(), before.begin(), before.end());

  switch (fault.fault) {
    case TokenFault::Late:
      if (!SleepFor(std::chrono::milliseconds(fault.param))) return;
      pty.Write(wire);
      break;
    case TokenFault::Trickle:
      for (uint8_t b : wire) {
        if (!SleepFor(std::chrono::milliseconds(fault.param))) return;
        pty.Write(&b, 1);
      }
      break;
    case TokenFault::Unplug:
      pty.Write(wire.data(), wire.size() / 2);
      pty.Unplug();
      break;
    default:
      pty.Write(wire);
      break;
  }
}

// ---- TokenRack ----

TokenRack::TokenRack() {
  char pattern[] = "/tmp/zarn-token-ports-XXXXXX";
  int fd = ::mkstemp(pattern);
  if (fd < 0) throw std::runtime_error(std::string("mkstemp: ") + std::strerror(errno));
  ::close(fd);
  file_ = pattern;
  if (const char* p = std::getenv(platform::PortMapVariable)) previous_ = p;
  ::setenv(platform::PortMapVariable, file_.c_str(), 1);
  WriteMap();
}

TokenRack::~TokenRack() {
  tokens_.clear();
  silent_.clear();
  if (previous_) ::setenv(platform::PortMapVariable, previous_->c_str(), 1);
  else ::unsetenv(platform::PortMapVariable);
  ::unlink(file_.c_str());
}

TokenSimulator& TokenRack::Plug(unsigned port, uint32_t serial) {
  auto& token = tokens_[port];
  if (!token) token = std::make_unique<TokenSimulator>(serial);
  token->Plug();
  WriteMap();
  return *token;
}

void TokenRack::Unplug(unsigned port) {
  if (auto it = tokens_.find(port); it != tokens_.end()) it->second->Unplug();
  silent_.erase(port);
  WriteMap();
}

TokenSimulator* TokenRack::Token(unsigned port) {
  auto it = tokens_.find(port);
  return it == tokens_.end() ? nullptr : it->second.get();
}

PseudoTerminal& TokenRack::PlugSilent(unsigned port) {
  auto& pty = silent_[port];
  pty = std::make_unique<PseudoTerminal>();
  WriteMap();
  return *pty;
}

void TokenRack::WriteMap() {
  // Readers of the map never see half a file.
  std::string temp = file_ + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << "# simulated crypto tokens\n";
    for (const auto& [port, token] : tokens_)
      if (token->Plugged()) out << "COM" << port << ' ' << token->Path() << " vcp\n";
    for (const auto& [port, pty] : silent_) out << "COM" << port << ' ' << pty->Path() << " vcp\n";
  }
  std::rename(temp.c_str(), file_.c_str());
}

}  // namespace sim
