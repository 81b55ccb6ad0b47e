#include "seal.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <string.h>  // explicit_bzero
#include <thread>

#include "erase_code.h"

namespace {

constexpr uint16_t TypeChallenge = 'G';
constexpr uint16_t TypeChallengeReply = 'C';
constexpr uint16_t TypeRequest = 'Q';
constexpr uint16_t TypeAccepted = 'R';
constexpr uint16_t TypeRefused = 'D';
constexpr uint16_t RefusalReasonOffset = 10;

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A received payload. Its buffer is zeroed beyond the bytes that came, and a field
// that did not arrive whole reads as 0, so a short reply never shows stale bytes.
class Reply {
 public:
  uint8_t* Buffer() { return bytes_; }
  uint16_t& Length() { return length_; }
  uint16_t Size() const { return length_; }
  bool Has(size_t offset, size_t width) const { return offset + width <= length_; }
  uint8_t Byte(size_t at) const { return Has(at, 1) ? bytes_[at] : 0; }
  uint16_t U16(size_t at) const { return Has(at, 2) ? uint16_t(bytes_[at] | bytes_[at + 1] << 8) : 0; }
  uint32_t U32(size_t at) const { return Has(at, 4) ? GetU32(bytes_ + at) : 0; }
  const uint8_t* At(size_t at) const { return bytes_ + at; }

 private:
  uint8_t bytes_[MaxFramePayload] = {};
  uint16_t length_ = 0;
};

}  // namespace

TSeal::TSeal(uint32_t address) : clock_(platform::Now) {
  fields_.address = address;
  fields_.lastReplySerial = address;
}

TSeal::~TSeal() { DropHeldKeyset(); }

TSealFields TSeal::Snapshot() const {
  std::lock_guard lock(mutex_);
  return fields_;
}

uint32_t TSeal::Address() const {
  std::lock_guard lock(mutex_);
  return fields_.address;
}

uint32_t TSeal::LastReplySerial() const {
  std::lock_guard lock(mutex_);
  return fields_.lastReplySerial;
}

bool TSeal::LoggedOn() const {
  std::lock_guard lock(mutex_);
  return fields_.loggedOn;
}

SealRefusalReason TSeal::RefusalReason() const {
  std::lock_guard lock(mutex_);
  return fields_.refusalReason;
}

int32_t TSeal::ClockDeviation() const {
  std::lock_guard lock(mutex_);
  return fields_.clockDeviation;
}

void TSeal::SetClock(Clock clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}

void TSeal::Announce(UINT message) const {
  // Posted: the worker thread never waits for the window thread.
  PostMessage(FindWindow(MainWindowClass), message, 0, LPARAM(LastReplySerial()));
}

SealErrorCode TSeal::Initialize(TPort& port) {
  port.Purge();  // a failed purge shows in the exchange itself
  const uint32_t address = Address();
  uint8_t request[2];
  PutU16(request, TypeChallenge);
  if (SealErrorCode e = port.SendFrame(address, request, sizeof request)) return e;
  Update([&](TSealFields& f) { f.lastReplySerial = address; });
  Reply reply;
  uint32_t sender = address;  // 0 takes any seal's answer and learns who it was
  if (SealErrorCode e = port.ReceiveFrame(sender, reply.Buffer(), reply.Length())) return e;
  Update([&](TSealFields& f) { f.lastReplySerial = sender; });
  if (reply.U16(0) != TypeChallengeReply) return SealError::ProtocolViolation;
  const uint8_t major = reply.Byte(14), minor = reply.Byte(15);
  const bool mode16 = major >= 3;
  Update([&](TSealFields& f) { f.mode16 = mode16; });
  if (reply.Size() != (mode16 ? 32 : 24)) return SealError::ProtocolViolation;
  Update([&](TSealFields& f) {
    f.lastReplySerial = reply.U32(2);
    f.keysetNumber = reply.U32(6);
    f.keysetTime = reply.U32(10);
    f.firmware = VersionToText(major, minor);
    if (mode16)
      std::memcpy(f.chain16, reply.At(16), 16);
    else
      std::memcpy(f.chain8, reply.At(16), 8);
  });
  return 0;
}

SealErrorCode TSeal::Transact(bool mode16, TPort& port, TCryptoToken* token, uint8_t command, uint8_t option,
                              const uint8_t* request, uint16_t sendLen, uint8_t* plain, uint16_t dataLen,
                              uint8_t* raw) {
  const uint16_t block = mode16 ? 16 : 8;
  const uint16_t head = uint16_t(4 + block);         // type, MAC, command, option
  const uint16_t replyHead = uint16_t(2 + 2 * block);  // type, chaining value, MAC
  if (sendLen % block || dataLen % block || head + sendLen > MaxFramePayload ||
      replyHead + dataLen > MaxFramePayload)
    return SealError::InvalidSize;

  uint8_t payload[MaxFramePayload] = {};
  PutU16(payload, TypeRequest);
  payload[2 + block] = command;
  payload[3 + block] = option;
  if (sendLen > 0) std::memcpy(payload + head, request, sendLen);

  port.Purge();
  if (token) {
    if (held_)
      if (SealErrorCode e = StoreHeldKeyset(*token)) return e;
    const TSealFields f = Snapshot();
    token->SelectKeyset(f.keysetNumber, f.keysetTime);
    SealErrorCode e = mode16 ? token->MakeRequestMac16(f.chain16, sendLen, payload)
                             : token->MakeRequestMac(f.chain8, sendLen, payload);
    if (e) return e;
    if (sendLen > 0) {
      e = mode16 ? token->DecryptData16(payload + head, sendLen / 16) : token->DecryptData(payload + head, sendLen / 8);
      if (e) return e;
    }
  } else if (command == 'E' && dataLen == 0) {
    std::memcpy(payload + 2, SealEraseCode, sizeof SealEraseCode);
  } else {
    return SealError::CryptoTokenError;
  }

  const uint32_t address = Address();
  if (SealErrorCode e = port.SendFrame(address, payload, uint16_t(head + sendLen))) return e;
  Update([&](TSealFields& f) { f.lastReplySerial = address; });
  Reply reply;
  uint32_t sender = address;
  if (SealErrorCode e = port.ReceiveFrame(sender, reply.Buffer(), reply.Length())) return e;
  Update([&](TSealFields& f) { f.lastReplySerial = sender; });

  const uint16_t type = reply.U16(0);
  if (type == TypeRefused) {
    // A 'D' too short for its reason carries none.
    const SealRefusalReason reason = SealRefusalReason(reply.U16(RefusalReasonOffset));
    Initialize(port);  // the refusal broke the chain: start a new one
    Update([&](TSealFields& f) { f.refusalReason = reason; });
    return SealError::AccessDenied;
  }
  if (type != TypeAccepted) return SealError::ProtocolViolation;

  // The seal has moved its chain on: take the new value even if the rest is wrong.
  uint8_t previous[16];
  Update([&](TSealFields& f) {
    uint8_t* chain = mode16 ? f.chain16 : f.chain8;
    std::memcpy(previous, chain, block);
    std::memcpy(chain, reply.At(2), block);
  });
  if (reply.Size() != (dataLen > 0 ? replyHead + dataLen : 2 + block)) return SealError::InvalidSize;
  if (dataLen == 0) return 0;

  // Decoded here and handed out only when everything checked. It may hold a new
  // key-set's keys: wiped on every way out.
  struct Plain {
    uint8_t bytes[MaxFramePayload];
    ~Plain() { explicit_bzero(bytes, sizeof bytes); }
  } data;
  std::memcpy(data.bytes, reply.At(replyHead), dataLen);
  SealErrorCode e =
      mode16 ? token->DecryptData16(data.bytes, dataLen / 16) : token->DecryptData(data.bytes, dataLen / 8);
  if (e) return e;
  e = mode16 ? token->CheckReplyMac16(previous, data.bytes, dataLen / 16, reply.At(2 + block))
             : token->CheckReplyMac(previous, data.bytes, dataLen / 8, reply.At(2 + block));
  if (e) return e;
  if (raw) std::memcpy(raw, reply.At(replyHead), dataLen);
  std::memcpy(plain, data.bytes, dataLen);
  return 0;
}

SealErrorCode TSeal::Logon(TPort& port, TCryptoToken& token, uint16_t operator1, uint16_t operator2) {
  const bool mode16 = Snapshot().mode16;
  uint8_t block[16] = {};
  PutU16(block, operator1);
  PutU16(block + 2, operator2);
  SealErrorCode e = Transact(mode16, port, &token, 'L', 0, block, mode16 ? 16 : 8, nullptr, 0);
  if (e) return e;
  Update([](TSealFields& f) { f.loggedOn = true; });
  Announce(WM_SEALLOGGEDON);
  return 0;
}

SealErrorCode TSeal::Logoff(TPort& port, TCryptoToken& token) {
  SealErrorCode e = Transact(Snapshot().mode16, port, &token, 'O', 0, nullptr, 0, nullptr, 0);
  if (e) return e;
  Update([](TSealFields& f) { f.loggedOn = false; });
  Announce(WM_SEALLOGGEDOFF);
  return 0;
}

SealErrorCode TSeal::GetStatus(TPort& port, TCryptoToken& token, uint8_t raw[StatusRecordSize],
                               uint8_t plain[StatusRecordSize]) {
  uint8_t rawRecord[StatusRecordSize], plainRecord[StatusRecordSize];
  SealErrorCode e =
      Transact(Snapshot().mode16, port, &token, 'S', 0, nullptr, 0, plainRecord, StatusRecordSize, rawRecord);
  if (e) return e;
  Clock clock;
  {
    std::lock_guard lock(mutex_);
    clock = clock_;
  }
  const double seconds = (SealTimeToDateTime(GetU32(plainRecord + 4)) - clock()) * 86400.0;
  Update([&](TSealFields& f) { f.clockDeviation = int32_t(std::lround(seconds)); });
  std::memcpy(raw, rawRecord, StatusRecordSize);
  std::memcpy(plain, plainRecord, StatusRecordSize);
  return 0;
}

SealErrorCode TSeal::SetTime(TPort& port, TCryptoToken& token, TDateTime time) {
  const bool mode16 = Snapshot().mode16;
  uint8_t block[16] = {};
  PutU32(block, DateTimeToSealTime(time));
  SealErrorCode e = Transact(mode16, port, &token, 'T', 0, block, mode16 ? 16 : 8, nullptr, 0);
  if (e) return e;
  // The seal's clock is the computer's now: the deviation found before is no longer its own.
  Update([](TSealFields& f) { f.clockDeviation = 0; });
  return 0;
}

SealErrorCode TSeal::GetLogInfo(TPort& port, TCryptoToken& token, uint8_t* out) {
  uint8_t record[LogInfoSize];
  SealErrorCode e = Transact(Snapshot().mode16, port, &token, 'I', 0, nullptr, 0, record, LogInfoSize);
  if (e) return e;
  Update([&](TSealFields& f) { std::memcpy(f.logInfo, record, LogInfoSize); });
  if (out) std::memcpy(out, record, LogInfoSize);
  return 0;
}

SealErrorCode TSeal::ReadLogPage(TPort& port, TCryptoToken& token, uint8_t page, uint8_t raw[LogPageSize],
                                 uint8_t plain[LogPageSize], std::string& authenticity) {
  const bool mode16 = Snapshot().mode16;
  uint8_t rawPage[LogPageSize], plainPage[LogPageSize];
  SealErrorCode e = Transact(mode16, port, &token, 'P', page, nullptr, 0, plainPage, LogPageSize, rawPage);
  if (e) return e;
  // The page itself came through; only its text tells whether the seal signed it.
  SealErrorCode signature = mode16 ? token.CheckPageSignature16(plainPage) : token.CheckPageSignature(plainPage);
  if (signature == 0)
    authenticity = AuthenticText;
  else if (signature == SealError::CryptoTokenError)
    authenticity.clear();  // nothing is known about the page
  else
    authenticity = NotAuthenticText;
  if (raw) std::memcpy(raw, rawPage, LogPageSize);
  std::memcpy(plain, plainPage, LogPageSize);
  return 0;
}

SealErrorCode TSeal::CreateKeyset(TPort& port, TCryptoToken& token, uint8_t option) {
  uint8_t record[KeysetRecordSize];
  SealErrorCode e = Transact(Snapshot().mode16, port, &token, 'K', option, nullptr, 0, record, KeysetRecordSize);
  if (e) return e;
  // The seal uses the new key-set from now on, whatever the store gives: until the
  // service has it, these bytes are the only copy of its keys.
  DropHeldKeyset();
  std::memcpy(heldRecord_, record, KeysetRecordSize);
  held_ = true;
  heldSerial_ = LastReplySerial();
  explicit_bzero(record, sizeof record);
  const uint32_t number = GetU32(heldRecord_), time = GetU32(heldRecord_ + 4);
  Update([&](TSealFields& f) {
    f.keysetNumber = number;
    f.keysetTime = time;
    f.unstoredKeyset = number;
  });
  return StoreHeldKeyset(token);
}

// Stores the held key-set while the seal still uses it. What the operator reads on
// failure says what happened and what to do; the keys stay held for the next try.
SealErrorCode TSeal::StoreHeldKeyset(TCryptoToken& token) {
  const TSealFields f = Snapshot();
  const uint32_t number = GetU32(heldRecord_), time = GetU32(heldRecord_ + 4);
  if (f.keysetNumber != number || f.keysetTime != time) {
    // The seal that sent the record has another key-set now: the held keys open nothing.
    // Another seal answering an address of 0 says nothing about it.
    if (f.lastReplySerial == heldSerial_) ForgetHeldKeyset();
    return 0;
  }
  const std::string seal = std::to_string(heldSerial_), name = KeysetNumberToText(number);
  auto alert = [this](std::string text) { Update([&](TSealFields& g) { g.keysetAlert = std::move(text); }); };
  if (number >> 8 != heldSerial_) {
    // Stored, it would land under another seal's serial number in the key database.
    alert("Seal " + seal + " sent a new key-set numbered " + name +
          ", which is not one of its own, so it was not stored in the key database. The seal cannot be read "
          "with it: erase its key-set and create a new one.");
    return SealError::CryptoTokenError;
  }
  for (int attempt = 0; attempt < StoreAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(StorePauseMs));
    if (token.StoreKeyset(heldRecord_) == 0) {
      ForgetHeldKeyset();
      return 0;
    }
  }
  alert("Seal " + seal + " now uses the new key-set " + name + " of " +
        SealTimeToDateText(time) + " " + SealTimeToTimeText(time) +
        ", but the crypto service could not store it in the key database. ZARN holds its keys only until it is "
        "closed: make the key database reachable and repeat an operation on this seal, which stores the key-set "
        "first. Until then the seal can only be erased.");
  return SealError::CryptoTokenError;
}

void TSeal::DropHeldKeyset() {
  explicit_bzero(heldRecord_, sizeof heldRecord_);
  held_ = false;
}

void TSeal::ForgetHeldKeyset() {
  DropHeldKeyset();
  Update([](TSealFields& f) {
    f.unstoredKeyset = 0;
    f.keysetAlert.clear();
  });
}

SealErrorCode TSeal::WritePadPage(TPort& port, TCryptoToken& token, uint8_t page, uint8_t data[PadPageSize]) {
  const bool mode16 = Snapshot().mode16;
  SealErrorCode e = Transact(mode16, port, &token, 'W', page, data, PadPageSize, nullptr, 0);
  if (e) return e;
  // The seal keeps the page as the cipher's forward image of what it received.
  uint8_t stored[PadPageSize];
  std::memcpy(stored, data, PadPageSize);
  e = mode16 ? token.EncryptData16(stored, PadPageSize / 16) : token.EncryptData(stored, PadPageSize / 8);
  if (e) return e;
  std::memcpy(data, stored, PadPageSize);
  return 0;
}

SealErrorCode TSeal::ReadPadPage(TPort& port, TCryptoToken& token, uint8_t page, uint8_t raw[PadPageSize],
                                 uint8_t plain[PadPageSize]) {
  return Transact(Snapshot().mode16, port, &token, 'R', page, nullptr, 0, plain, PadPageSize, raw);
}

SealErrorCode TSeal::EraseKeyset(TPort& port) {
  SealErrorCode e = Transact(Snapshot().mode16, port, nullptr, 'E', 0, nullptr, 0, nullptr, 0);
  if (e) return e;
  // The seal goes on with its zero key-set, as after a new key-set it goes on with that one.
  Update([](TSealFields& f) {
    f.keysetNumber = 0;
    f.keysetTime = 0;
  });
  // The held keys of a key-set the seal no longer has are of no use to anybody.
  if (held_) ForgetHeldKeyset();
  return 0;
}
