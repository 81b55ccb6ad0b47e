#pragma once
// A simulated seal: the command engine behind the seal link simulator. It keeps a
// seal's key-set, chaining value, clock, logs, status record, pad and operators,
// checks the MAC of every request and answers every command with the reply a seal
// gives, authenticated and encrypted with its key-set. Tests can make it refuse or
// spoil any reply. All cryptography comes from libcrypto.
//
// Typical use in a reader test:
//   sim::SealLinkSimulator link;
//   std::string tty = link.ServePty();
//   sim::SimulatedSeal seal(1234, 3);        // protocol 3.00: 16-byte blocks
//   seal.Attach(link);
//   sim::SealKeyset k = seal.Keyset();       // put these keys into the key database:
//                                            // k.number, k.Seconds(), k.KeyHex(...), k.QuarelHex(),
//                                            // or onto a simulated token: {k.number, k.Seconds(), 0x0F, k.keys}
//   ... run the reader's commands ...
//   seal.Commands()                          // what the seal decoded, with MAC verdicts
//
// Directions, as the reader expects them: the seal only ever runs the forward cipher.
// Request data arrives as D(plain) and the seal recovers it as E(wire); reply data
// leaves as E(plain); a request MAC M is good when E_Authorization(M) equals the
// chaining value with the command letter, option and CRC folded in.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "seal_link_sim.h"

namespace sim {

using SealKey16 = std::array<uint8_t, 16>;
using SealKey8 = std::array<uint8_t, 8>;
using SealPage = std::array<uint8_t, 64>;
using SealStatusRecord = std::array<uint8_t, 96>;
using SealLogInfoRecord = std::array<uint8_t, 32>;
using SealKeysetRecord = std::array<uint8_t, 80>;

// The key types, as the crypto service numbers them.
enum SealKeyType : int { Authentication = 0, Authorization = 1, Identification = 2, Encryption = 3 };

// The seal's 32-bit time: low half the half-days since 2000-01-01 00:00 local time,
// high half 43200 minus the seconds into that half-day; 0 is no time.
uint32_t SimSealTime(uint32_t secondsSinceEpoch);
uint32_t SimSealSeconds(uint32_t sealTime);

struct SealKeyset {
  uint32_t number = 0;
  uint32_t time = 0;            // the seal's 32-bit time
  std::array<SealKey16, 4> keys{};  // by SealKeyType
  SealKey8 quarel{};

  // Seconds since 2000-01-01 00:00:00: the key-set time of the crypto service and the key database.
  uint32_t Seconds() const { return SimSealSeconds(time); }
  const SealKey16& Key(SealKeyType type) const { return keys[size_t(type)]; }
  // Two upper-case hex digits a byte, as the key database keeps keys.
  std::string KeyHex(SealKeyType type) const;
  std::string QuarelHex() const;

  // The 80-byte record of the create-key-set reply: number, time, the four keys, Quarel.
  SealKeysetRecord Record() const;
  static SealKeyset FromRecord(const SealKeysetRecord& record);
  // Fresh random keys from libcrypto.
  static SealKeyset Random(uint32_t number, uint32_t time);
  // What a seal holds after an erase: number 0, time 0, all keys zero.
  static SealKeyset Zero() { return {}; }

  bool operator==(const SealKeyset&) const = default;
};

// ---- The formulas, for the engine and for tests that check the reader's side ----
// blockSize is 8 (two-key triple DES, K1 K2 K1) or 16 (AES-128); ECB without padding.
// length must be a whole number of blocks; false otherwise or when libcrypto fails.
bool SealCipher(const SealKey16& key, size_t blockSize, uint8_t* data, size_t length, bool encrypt);
// The single-DES CBC-MAC under the fixed hash key, from the start value in value.
bool SealHash(const uint8_t* data, size_t blocks, uint8_t value[8]);
// The request MAC: chain with command at 0, option at 2 and the CRC-16 of the plain
// data (low byte at 4, high at 6), decrypted with the Authorization key.
std::vector<uint8_t> SealRequestMac(const SealKeyset& keys, const std::vector<uint8_t>& chain, uint8_t command,
                                    uint8_t option, const std::vector<uint8_t>& plainData);
// The reply MAC over the plain reply data from the chaining value before the reply:
// 8-byte: Hash from the chain, then encrypted with the Identification key;
// 16-byte: a CBC-MAC with AES under the Identification key started from the chain.
std::vector<uint8_t> SealReplyMac(const SealKeyset& keys, const std::vector<uint8_t>& previousChain,
                                  const std::vector<uint8_t>& plainData);
// The 8 signature bytes of a plain log page (its bytes 8-15) with the Authentication key.
SealKey8 SealPageSignature(const SealKeyset& keys, size_t blockSize, const SealPage& page);

// ---- Faults ----
enum class SealFault {
  None,
  Refuse,         // not run; 'D' with reason param
  ShortRefusal,   // not run; a 'D' payload of only param bytes (2 when 0, at most 11): no reason field
  WrongType,      // run; the reply type letter is param ('X' when 0)
  WrongLength,    // run; param (signed) bytes added to the reply (zeros) or cut off its end; +1 when 0
  FlipMac,        // run; bit 0 of the first reply MAC byte flipped (replies with data only)
  FlipSignature,  // run; bit 0 of the first signature byte of a log page flipped, the reply MAC still right
  ForeignSerial,  // run; the reply's sender is param
  Delay,          // run; the reply after param ms
  Silence,        // not run; no reply (the request was lost)
  LostReply,      // run; no reply (the reply was lost)
  Link,           // run; the reply goes out with the link fault link
};

struct SealFaultSpec {
  SealFaultSpec() = default;
  SealFaultSpec(SealFault f, int32_t p = 0, int n = 1) : fault(f), param(p), times(n) {}
  // A link-level fault (wrong CRC, trickle, hang-up...) on the reply of the matching request.
  static SealFaultSpec OnLink(FaultSpec linkFault, int n = 1) {
    SealFaultSpec s(SealFault::Link, 0, n);
    s.link = linkFault;
    return s;
  }
  SealFault fault = SealFault::None;
  int32_t param = 0;
  FaultSpec link;  // for SealFault::Link
  int times = 1;   // how many matching requests it spoils; 0 or less: all until cleared
};

// Which requests a fault waits for: a command letter of a transaction ('L', 'S', 'E'...),
// 'G' for the challenge, FindRequests for the seal search, AnyRequest for the next of any kind.
inline constexpr char AnyRequest = '*';
inline constexpr char FindRequests = '?';

// ---- What the seal saw ----
enum class MacVerdict { None, Good, Bad, EraseCode };

struct SealCommandRecord {
  uint32_t receiver = 0;   // the frame's receiver: the serial or 0
  char type = 0;           // 'G' challenge, 'Q' transaction, 'I' search, other letters as sent
  char command = 0;        // the command letter of a transaction
  uint8_t option = 0;
  std::vector<uint8_t> data;  // the request data, decrypted
  MacVerdict mac = MacVerdict::None;
  int16_t refusal = 0;     // the reason of the 'D' sent, 0 when accepted
  SealFault fault = SealFault::None;  // the fault applied to this request
};

// ---- Logs ----
enum class SealLog { SealEvents = 0, SystemEvents = 1, Health = 2 };

struct HealthRecord {
  uint16_t day = 0;  // 0 is an empty slot; the reader shows the half-day count day - 2
  int8_t minTemperature = 0, maxTemperature = 0;
  uint8_t externalBattery = 0, mainBattery = 0, onBattery = 0, moveEvents = 0;
};

class SimulatedSeal {
 public:
  // Starts with a random key-set serial << 8 | 1 made now, the clock on the computer's
  // local time, empty logs (seal events on pages 0-15, system events 16-31, state of
  // health 32-47), 4 empty pad pages and nobody logged on. Major version 3 and above
  // works on 16-byte blocks, 2 and below on 8-byte blocks; the two version bytes are
  // also the firmware version the reader shows.
  explicit SimulatedSeal(uint32_t serial, uint8_t major = 3, uint8_t minor = 0);
  ~SimulatedSeal();
  SimulatedSeal(const SimulatedSeal&) = delete;
  SimulatedSeal& operator=(const SimulatedSeal&) = delete;

  // Serves this seal on the link; several seals can share one link. The link may
  // outlive the seal object and the other way round.
  void Attach(SealLinkSimulator& link);
  // The engine itself: a decoded request in, the reply with its link fault out.
  std::optional<SealReply> Handle(const SealRequest& request);

  uint32_t Serial() const;
  void SetVersion(uint8_t major, uint8_t minor);
  uint8_t Major() const;
  size_t BlockSize() const;  // 8 or 16

  void SetKeyset(const SealKeyset& keyset);
  SealKeyset Keyset() const;
  // The index the next create-key-set gives (after the current key-set's by default).
  void SetNextKeysetIndex(uint8_t index);
  // The current chaining value: fresh after every challenge, new after every accepted reply.
  std::vector<uint8_t> ChainingValue() const;

  // The clock runs this many seconds ahead of the computer's local time (negative: behind).
  void SetClockOffset(double seconds);
  double ClockOffset() const;
  uint32_t Now() const;  // the seal's time
  // On by default: the status reply samples the clock at least a quarter second away
  // from a rounding edge (waiting up to 250 ms), so a reader that works out the clock
  // deviation within a quarter second of the reply gets the offset exactly.
  void SetStableClockReads(bool on);

  bool LoggedOn() const;
  uint16_t Operator1() const;
  uint16_t Operator2() const;

  // The status record; the seal fills bytes 4-7 (its time) and 8-11 (operators) when it sends it.
  void SetStatusTemplate(const SealStatusRecord& record);
  SealStatusRecord StatusTemplate() const;
  SealStatusRecord StatusRecord() const;  // as the next status reply would carry it

  void SetLogPages(SealLog log, uint8_t lowest, uint8_t highest);
  // New entries go onto the current page; a full page moves the log on to the next
  // page of its ring (from highest back to lowest), which starts empty.
  void AddSealEvent(uint32_t time);
  void AddSystemEvent(uint32_t time, uint16_t code);
  void AddHealthRecord(const HealthRecord& record);
  // Puts page content of one's own (bytes 8-15 are replaced by the signature when sent).
  void SetLogPage(uint8_t page, const SealPage& plain);
  // The plain page as the seal sends it now, signed; no value for a page of no log.
  std::optional<SealPage> LogPage(uint8_t page) const;
  SealLogInfoRecord LogInfo() const;
  void SetExtendedStatus(uint8_t flags);

  void SetPadPageCount(uint8_t pages);
  uint8_t PadPageCount() const;
  // Pad pages in plain form; a pad read sends them encrypted with the current key-set,
  // which is the stored form the reader made of what it wrote.
  SealPage PadPage(uint8_t page) const;
  void SetPadPage(uint8_t page, const SealPage& plain);

  // Faults queue up and each matches requests of its kind (see AnyRequest).
  void InjectFault(char request, SealFaultSpec fault);
  void ClearFaults();

  std::vector<SealCommandRecord> Commands() const;
  void ClearCommands();
  bool WaitForCommands(size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct Engine;
  std::shared_ptr<Engine> engine_;
};

}  // namespace sim
