#pragma once
// The reader's picture of one seal and the commands it runs on it. Every command is
// one request and one reply over an open port; apart from the challenge, requests are
// authenticated with the seal's current key-set, replies carry the next chaining value
// and, when they carry data, a MAC over it. All key work goes through TCryptoToken.
//
// Commands run on an operation's worker thread; the window thread reads the fields
// at any time through Snapshot() or the getters, which copy them under a lock.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "port.h"
#include "token.h"
#include "tools.h"
#include "main_window_messages.h"

inline constexpr uint16_t StatusRecordSize = 96;
inline constexpr uint16_t LogPageSize = 64;
inline constexpr uint16_t PadPageSize = 64;
inline constexpr uint16_t LogInfoSize = 32;

// Texts of a log page's signature check.
inline constexpr const char* AuthenticText = "authentic";
inline constexpr const char* NotAuthenticText = "not authentic";

struct TSealFields {
  uint32_t address = 0;  // 0 addresses any seal
  uint8_t chain8[8] = {};
  uint8_t chain16[16] = {};
  bool mode16 = false;  // protocol 3 and above: 16-byte blocks
  uint32_t lastReplySerial = 0;
  uint32_t keysetNumber = 0;
  TSealTime keysetTime = 0;
  std::string firmware;
  uint8_t logInfo[LogInfoSize] = {};
  bool loggedOn = false;
  SealRefusalReason refusalReason = 0;
  int32_t clockDeviation = 0;  // seconds the seal is ahead of the computer
  // A key-set the seal switched to but the crypto service has not stored (0: none),
  // and what the operator is told about it. Both stay until it is stored or erased.
  uint32_t unstoredKeyset = 0;
  std::string keysetAlert;
};

class TSeal {
 public:
  using Clock = std::function<TDateTime()>;

  explicit TSeal(uint32_t address);
  ~TSeal();
  TSeal(const TSeal&) = delete;
  TSeal& operator=(const TSeal&) = delete;

  // The challenge: learns the serial number, key-set, protocol mode, firmware version
  // and first chaining value.
  SealErrorCode Initialize(TPort& port);

  // The exchange the commands share. request holds sendLen plain bytes (0, one block
  // or 64); plain and raw receive dataLen bytes only when the result is 0. A null
  // client is allowed for the erase command only.
  SealErrorCode Transact(bool mode16, TPort& port, TCryptoToken* token, uint8_t command, uint8_t option,
                         const uint8_t* request, uint16_t sendLen, uint8_t* plain, uint16_t dataLen,
                         uint8_t* raw = nullptr);

  SealErrorCode Logon(TPort& port, TCryptoToken& token, uint16_t operator1, uint16_t operator2);
  SealErrorCode Logoff(TPort& port, TCryptoToken& token);
  SealErrorCode GetStatus(TPort& port, TCryptoToken& token, uint8_t raw[StatusRecordSize],
                          uint8_t plain[StatusRecordSize]);
  // Sets the seal's clock; its clock deviation is 0 from then on.
  SealErrorCode SetTime(TPort& port, TCryptoToken& token, TDateTime time);
  // The record goes into the seal's log info, and to out when given.
  SealErrorCode GetLogInfo(TPort& port, TCryptoToken& token, uint8_t* out = nullptr);
  SealErrorCode ReadLogPage(TPort& port, TCryptoToken& token, uint8_t page, uint8_t raw[LogPageSize],
                            uint8_t plain[LogPageSize], std::string& authenticity);
  // Creates a key-set on the seal and stores it in the crypto service. When the store
  // fails, the keys are held here (see TSealFields::keysetAlert) and stored before the
  // next authenticated exchange with this seal.
  SealErrorCode CreateKeyset(TPort& port, TCryptoToken& token, uint8_t option);
  // Writes the plain page; on success turns it into the form the seal stores it in.
  SealErrorCode WritePadPage(TPort& port, TCryptoToken& token, uint8_t page, uint8_t data[PadPageSize]);
  SealErrorCode ReadPadPage(TPort& port, TCryptoToken& token, uint8_t page, uint8_t raw[PadPageSize],
                            uint8_t plain[PadPageSize]);
  // Needs no crypto service and works whatever key-set the seal holds; the seal then has
  // its zero key-set (number and time 0).
  SealErrorCode EraseKeyset(TPort& port);

  TSealFields Snapshot() const;
  uint32_t Address() const;
  uint32_t LastReplySerial() const;
  bool LoggedOn() const;
  SealRefusalReason RefusalReason() const;
  int32_t ClockDeviation() const;

  // Where the status command reads the computer's local time.
  void SetClock(Clock clock);

  // How often a new key-set's store is tried, and the pause between tries.
  static constexpr int StoreAttempts = 3;
  static constexpr int StorePauseMs = 200;

 private:
  template <class F>
  void Update(F change) {
    std::lock_guard lock(mutex_);
    change(fields_);
  }
  SealErrorCode StoreHeldKeyset(TCryptoToken& token);
  void DropHeldKeyset();
  // Drops the held record together with what the operator is told about it.
  void ForgetHeldKeyset();
  void Announce(UINT message) const;

  mutable std::mutex mutex_;
  TSealFields fields_;
  Clock clock_;
  // Only the worker thread touches the held key-set record.
  uint8_t heldRecord_[KeysetRecordSize] = {};
  bool held_ = false;
  // The serial number of the seal that sent the held record: with address 0 a later
  // exchange may time out or reach another seal, so the last reply does not say it.
  uint32_t heldSerial_ = 0;
};
