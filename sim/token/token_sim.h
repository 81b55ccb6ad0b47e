#pragma once
// A simulated crypto token on a pseudo-terminal: it decodes the token link's frames and
// answers every command with its exact reply, keeps a key-set table, a password lock,
// the bootstrap loader's password and a firmware key, and can be told to misbehave.
// TokenRack plugs tokens in on COM numbers of a port map of its own.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"

namespace sim {

using Key16 = std::array<uint8_t, 16>;
using Bsl32 = std::array<uint8_t, 32>;
using Salt8 = std::array<uint8_t, 8>;

inline constexpr uint32_t DefaultTokenSerial = 4711;
inline constexpr int SimTokenCapacity = 910;
// The two bytes after the serial number in a Ping reply.
inline constexpr uint8_t SimTokenVersion[2] = {0x02, 0x01};

struct SimKeyset {
  uint32_t number = 0;
  uint32_t time = 0;
  uint8_t flags = 0x0F;  // bit n: key type n present
  std::array<Key16, 4> keys{};
};

enum class TokenFault {
  None,
  ErrorBit,       // the status with bit 0 and no data
  NoMarker,       // the reply without bit 15
  WrongLength,    // param extra bytes after the reply data (1 when param is 0)
  ForeignSerial,  // a Ping reply names param as the serial number
  Silence,        // no reply at all
  Garbage,        // param noise bytes (no control bytes) before the reply
  EmptyFrames,    // param empty frames before the reply
  Trickle,        // the reply one byte every param ms
  Late,           // the reply only after param ms
  Unplug,         // half of the reply, then the line hangs up
  Raw,            // payload framed as the reply instead of the real one
};

struct TokenFaultSpec {
  TokenFaultSpec() = default;
  TokenFaultSpec(TokenFault f, uint32_t p = 0, std::vector<uint8_t> bytes = {})
      : fault(f), param(p), payload(std::move(bytes)) {}
  TokenFault fault = TokenFault::None;
  uint32_t param = 0;
  std::vector<uint8_t> payload;  // for Raw
  int command = -1;  // the reply to the next request of this command only; -1: the next reply
};

struct TokenRequest {
  uint16_t command = 0;
  std::vector<uint8_t> data;
};

// The block ciphers of the token, from libcrypto: AES-128 ECB for 16-byte blocks,
// two-key triple DES ECB for 8-byte blocks. False for other lengths.
bool TokenCipher(const Key16& key, uint8_t* block, size_t length, bool encrypt);
// What command 18 answers: the challenge encrypted with the firmware key (AES-128).
Key16 FirmwareResponse(const Key16& firmwareKey, const Key16& challenge);

// Encodes a payload as the token link frames it.
std::vector<uint8_t> EncodeTokenFrame(const std::vector<uint8_t>& payload);

class TokenSimulator {
 public:
  explicit TokenSimulator(uint32_t serial = DefaultTokenSerial, int capacity = SimTokenCapacity);
  ~TokenSimulator();
  TokenSimulator(const TokenSimulator&) = delete;
  TokenSimulator& operator=(const TokenSimulator&) = delete;

  // Plugs the token in on a new pseudo-terminal and returns its device path. Like a
  // power-up, it locks the token again when a password is set and forgets the selection.
  std::string Plug();
  // Hangs the line up, as a pulled USB device.
  void Unplug();
  bool Plugged() const;
  std::string Path() const;

  void SetSerial(uint32_t serial);
  uint32_t Serial() const;
  void SetCapacity(int capacity);
  void SetKeysets(std::vector<SimKeyset> keysets);
  void AddKeyset(const SimKeyset& keyset);
  std::vector<SimKeyset> Keysets() const;
  // The password of command 16; locked sets status bit 1 until a matching command 3.
  void SetPassword(const Key16& key, const Key16& verifier, const Salt8& salt, bool locked = true);
  bool Locked() const;
  void SetBslPassword(const Bsl32& password);
  Bsl32 BslPassword() const;
  void SetFirmwareKey(const Key16& key);
  // How long command 18 takes before it answers.
  void SetFirmwareDelay(std::chrono::milliseconds delay);

  // The next reply gets this fault; faults queue up, one per reply.
  void InjectFault(TokenFaultSpec fault);
  // Bytes put on the line right away.
  void SendRaw(const std::vector<uint8_t>& bytes);

  std::vector<TokenRequest> Requests() const;
  void ClearRequests();
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  // Replies (or deliberate silences) finished, counted since the start.
  size_t Answered() const;
  bool WaitForAnswered(size_t count, std::chrono::milliseconds timeout) const;

 private:
  void Serve(PseudoTerminal& pty);
  std::vector<uint8_t> Answer(const TokenRequest& request);
  void Send(PseudoTerminal& pty, uint16_t command, std::vector<uint8_t> payload, const TokenFaultSpec& fault);
  bool SleepFor(std::chrono::milliseconds delay);
  void StopServing();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  uint32_t serial_;
  int capacity_;
  std::vector<SimKeyset> keysets_;
  std::optional<size_t> selected_;
  bool passwordSet_ = false;
  bool locked_ = false;
  Key16 passwordKey_{}, passwordVerifier_{};
  Salt8 salt_{};
  Bsl32 bsl_{};
  Key16 firmwareKey_{};
  std::chrono::milliseconds firmwareDelay_{0};
  std::deque<TokenFaultSpec> faults_;
  std::vector<TokenRequest> requests_;
  size_t answered_ = 0;

  std::unique_ptr<PseudoTerminal> pty_;
  std::thread thread_;
  bool stopping_ = false;
};

// Simulated tokens on COM numbers. The rack keeps a port map file of its own, and
// points the system's port map at it for its lifetime; unplugging a token takes its
// port out of the map.
class TokenRack {
 public:
  TokenRack();
  ~TokenRack();
  TokenRack(const TokenRack&) = delete;
  TokenRack& operator=(const TokenRack&) = delete;

  // A new token on the port, or the one that was there plugged in again.
  TokenSimulator& Plug(unsigned port, uint32_t serial = DefaultTokenSerial);
  void Unplug(unsigned port);
  // The token last plugged in on the port, or null.
  TokenSimulator* Token(unsigned port);
  // A port in the map with a line that nobody answers.
  PseudoTerminal& PlugSilent(unsigned port);
  const std::string& MapFile() const { return file_; }

 private:
  void WriteMap();

  std::string file_;
  std::optional<std::string> previous_;
  std::map<unsigned, std::unique_ptr<TokenSimulator>> tokens_;
  std::map<unsigned, std::unique_ptr<PseudoTerminal>> silent_;
};

}  // namespace sim
