#include "token.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "keyset_time.h"

namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

KeysetInfo GetKeysetInfo(const uint8_t* p) { return {GetU32(p), GetU32(p + 4), p[8]}; }

// The 13 reply bytes of commands 4 and 14.
struct TableReply {
  int capacity;
  int count;
  KeysetInfo entry;
};

TableReply GetTableReply(const uint8_t* p) {
  int capacity = std::min<int>(GetU16(p), MaxKeysets);
  return {capacity, std::min<int>(GetU16(p + 2), capacity), GetKeysetInfo(p + 4)};
}

constexpr int TableReplySize = 13;
constexpr int FrameBufferSize = 74;  // status word and the longest reply, and one more

}  // namespace

CToken::CToken(unsigned port, const TokenTimings& timings)
    : port_(std::make_unique<CSerialPort>(port)), timings_(timings) {}

CToken::~CToken() = default;

CToken::MutexHold CToken::Acquire() {
  return MutexHold(mutex_, std::chrono::milliseconds(timings_.mutexWait));
}

bool CToken::Transact(uint16_t command, const uint8_t* data, int length, uint8_t* reply, int replyLength,
                      TokenStatus* status) {
  if (length < 0 || length > MaxRequestData || replyLength < 0 || replyLength > MaxReplyData) return false;
  MutexHold hold = Acquire();
  if (!hold.owns_lock()) return false;

  uint8_t request[MaxRequestData + 2];
  PutU16(request, command);
  if (length > 0) std::memcpy(request + 2, data, size_t(length));
  // The reply names no command: a late reply to an earlier request that timed out
  // must not be taken as this one's.
  port_->PurgeInput();
  if (port_->WriteFrame(request, length + 2) != length + 2) return false;

  uint8_t frame[FrameBufferSize];
  int n = port_->ReadFrame(frame, FrameBufferSize) - 2;
  if (n < 0) return false;
  TokenStatus s = GetU16(frame);
  status_ = s;
  if (status) *status = s;
  if (!(s & TokenReplyMarker)) return false;
  if (s & TokenError) return n == 0;
  if (n != replyLength) return false;
  if (n > 0) std::memcpy(reply, frame + 2, size_t(n));
  return true;
}

bool CToken::Command(uint16_t command, const uint8_t* data, int length, uint8_t* reply, int replyLength,
                     TokenStatus* replyStatus) {
  TokenStatus s = 0;
  bool ok = false;
  if (MutexHold hold = Acquire(); hold.owns_lock()) ok = Transact(command, data, length, reply, replyLength, &s);
  if (replyStatus) *replyStatus = s;
  return ok;
}

bool CToken::Ping(TokenStatus* replyStatus) {
  if (busy_) {
    if (replyStatus) *replyStatus = status_;
    return true;
  }
  const uint32_t runs = firmwareRuns_;
  MutexHold hold = Acquire();
  if (!hold.owns_lock()) {
    // Command 18 keeps the mutex for up to two minutes: a token busy with it, or one
    // that finished it while we waited, is still there.
    bool busy = busy_ || firmwareRuns_ != runs;
    if (replyStatus) *replyStatus = busy ? status_.load() : TokenStatus(0);
    return busy;
  }
  uint8_t reply[6];
  TokenStatus s = 0;
  bool ok = Transact(TokenPing, nullptr, 0, reply, 6, &s) && !(s & TokenError);
  bool first = ok && serial_ == 0;
  if (first) {
    serial_ = GetU32(reply);
    port_->SetTimeouts(timings_.commandTimeout);
  }
  hold.unlock();
  if (replyStatus) *replyStatus = s;
  // Another token on the same port is not this one.
  return ok && (first || GetU32(reply) == serial_);
}

bool CToken::GetSalt(uint8_t salt[8], TokenStatus* replyStatus) {
  return Command(TokenGetSalt, nullptr, 0, salt, 8, replyStatus);
}

bool CToken::Unlock(const uint8_t key[16], const uint8_t verifier[16], TokenStatus* replyStatus) {
  uint8_t data[32];
  std::memcpy(data, key, 16);
  std::memcpy(data + 16, verifier, 16);
  return Command(TokenUnlock, data, 32, nullptr, 0, replyStatus);
}

bool CToken::ReadKeysets(TokenStatus* replyStatus) {
  TokenStatus s = 0;
  bool ok = false;
  MutexHold hold = Acquire();
  if (hold.owns_lock()) {
    // Read into a copy: readers on other threads see the old table or the new one,
    // never a mix, and a loop that stops early counts only what it read.
    KeysetInfo read[MaxKeysets];
    int index = 0, target = 0, capacity = -1;
    do {
      uint8_t request[2], reply[TableReplySize];
      PutU16(request, uint16_t(index));
      ok = Transact(TokenReadKeyset, request, 2, reply, TableReplySize, &s);
      if (!ok || (s & TokenError)) break;
      TableReply r = GetTableReply(reply);
      capacity = r.capacity;
      target = r.count;
      read[index++] = r.entry;
    } while (index < target);
    // Nothing read says nothing about the token's table: the one read earlier stays.
    if (index > 0) {
      std::lock_guard table(tableLock_);
      capacity_ = capacity;
      count_ = std::min(target, index);
      std::copy(read, read + count_, table_);
    }
  }
  if (replyStatus) *replyStatus = s;
  return ok;
}

bool CToken::SelectKeyset(uint16_t index, TokenStatus* replyStatus) {
  if (replyStatus) *replyStatus = 0;
  if (index >= Count()) return false;
  uint8_t request[2];
  PutU16(request, index);
  return Command(TokenSelectKeyset, request, 2, nullptr, 0, replyStatus);
}

bool CToken::Decrypt(int keyType, uint8_t* block, int length, TokenStatus* replyStatus) {
  if (replyStatus) *replyStatus = 0;
  if (keyType < 0 || keyType > 3 || length < 0 || length > MaxReplyData) return false;
  return Command(uint16_t(TokenDecryptBase + 2 * keyType), block, length, block, length, replyStatus);
}

bool CToken::Encrypt(int keyType, uint8_t* block, int length, TokenStatus* replyStatus) {
  if (replyStatus) *replyStatus = 0;
  if (keyType < 0 || keyType > 3 || length < 0 || length > MaxReplyData) return false;
  return Command(uint16_t(TokenEncryptBase + 2 * keyType), block, length, block, length, replyStatus);
}

bool CToken::StoreKeyset(const uint8_t record[KeysetRecordSize], TokenStatus* replyStatus) {
  TokenStatus s = 0;
  bool ok = false;
  MutexHold hold = Acquire();
  if (hold.owns_lock()) {
    uint8_t reply[TableReplySize];
    ok = Transact(TokenStoreKeyset, record, KeysetRecordSize, reply, TableReplySize, &s);
    if (ok && !(s & TokenError)) {
      KeysetInfo entry = GetKeysetInfo(reply + 4);
      std::lock_guard table(tableLock_);
      int known = count_;
      // A full table keeps its entries; the count never covers entries we do not hold.
      if (known < MaxKeysets) table_[known++] = entry;
      count_ = std::min({int(GetU16(reply + 2)), MaxKeysets, known});
    }
  }
  if (replyStatus) *replyStatus = s;
  return ok;
}

bool CToken::EraseAll(TokenStatus* replyStatus) {
  return Command(TokenEraseAll, reinterpret_cast<const uint8_t*>(EraseAllWord), sizeof EraseAllWord, nullptr, 0,
                 replyStatus);
}

bool CToken::Lock(const uint8_t key[16], const uint8_t verifier[16], const uint8_t salt[8],
                  TokenStatus* replyStatus) {
  uint8_t data[40];
  std::memcpy(data, key, 16);
  std::memcpy(data + 16, verifier, 16);
  std::memcpy(data + 32, salt, 8);
  return Command(TokenLock, data, 40, nullptr, 0, replyStatus);
}

bool CToken::SetBslPassword(const uint8_t oldPassword[32], const uint8_t newPassword[32],
                            TokenStatus* replyStatus) {
  uint8_t data[64];
  std::memcpy(data, oldPassword, 32);
  std::memcpy(data + 32, newPassword, 32);
  return Command(TokenSetBslPassword, data, 64, nullptr, 0, replyStatus);
}

bool CToken::AuthenticateFirmware(const uint8_t challenge[16], uint8_t response[16], TokenStatus* replyStatus) {
  TokenStatus s = 0;
  bool ok = false;
  MutexHold hold = Acquire();
  if (hold.owns_lock()) {
    port_->SetTimeouts(timings_.firmwareTimeout);
    ++firmwareRuns_;
    busy_ = true;
    ok = Transact(TokenAuthenticateFirmware, challenge, 16, response, 16, &s);
    busy_ = false;
    port_->SetTimeouts(timings_.commandTimeout);
  }
  if (replyStatus) *replyStatus = s;
  return ok;
}

bool CToken::HasKey(const KeysetInfo& entry, int keyType) const {
  return keyType < 0 || (keyType < 8 && (entry.KeyFlags >> keyType & 1));
}

bool CToken::FindKeyset(uint32_t keysetNumber, uint32_t keysetTime, int keyType, uint16_t& index) const {
  std::lock_guard table(tableLock_);
  for (int i = 0; i < count_; ++i) {
    if (table_[i].KeysetNumber == keysetNumber && table_[i].KeysetTime == keysetTime) {
      index = uint16_t(i);
      return HasKey(table_[i], keyType);
    }
  }
  return false;
}

bool CToken::FindKeysetByName(const wchar_t* name, int keyType) const {
  std::lock_guard table(tableLock_);
  for (int i = 0; i < count_; ++i) {
    wchar_t text[KeysetNameSize];
    if (FormatKeysetName(text, KeysetNameSize, table_[i].KeysetNumber, table_[i].KeysetTime) &&
        std::wcscmp(text, name) == 0)
      return HasKey(table_[i], keyType);
  }
  return false;
}

int CToken::Capacity() const {
  std::lock_guard table(tableLock_);
  return capacity_;
}

int CToken::Count() const {
  std::lock_guard table(tableLock_);
  return count_;
}

std::vector<KeysetInfo> CToken::Keysets() const {
  std::lock_guard table(tableLock_);
  return std::vector<KeysetInfo>(table_, table_ + count_);
}

void CToken::ClearKeysets() {
  std::lock_guard table(tableLock_);
  count_ = 0;
}
