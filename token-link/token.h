#pragma once
// One crypto token on its virtual COM port: the port, a mutex that keeps every command
// transaction whole, the token's serial number and status word, and a copy of its
// key-set table. The scan thread, the token dialogs and the crypto object share it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "serial_port.h"

// The status word at the start of every reply.
using TokenStatus = uint16_t;
inline constexpr TokenStatus TokenReplyMarker = 0x8000;
inline constexpr TokenStatus TokenPasswordLock = 0x0002;
inline constexpr TokenStatus TokenError = 0x0001;

// One entry of the key-set table, as on the wire.
#pragma pack(push, 1)
struct KeysetInfo {
  uint32_t KeysetNumber;  // seal serial number * 256 + key-set index
  uint32_t KeysetTime;    // Millenium seconds
  uint8_t KeyFlags;       // bit n: the key of type n is present
};
#pragma pack(pop)
static_assert(sizeof(KeysetInfo) == 9);

inline constexpr int MaxKeysets = 910;
inline constexpr int MaxRequestData = 72;
inline constexpr int MaxReplyData = 71;
inline constexpr int KeysetRecordSize = 72;  // number, time, keys of types 0 to 3

enum TokenCommand : uint16_t {
  TokenPing = 1,
  TokenGetSalt = 2,
  TokenUnlock = 3,
  TokenReadKeyset = 4,
  TokenSelectKeyset = 5,
  TokenDecryptBase = 6,  // + 2 * key type
  TokenEncryptBase = 7,  // + 2 * key type
  TokenStoreKeyset = 14,
  TokenEraseAll = 15,
  TokenLock = 16,
  TokenSetBslPassword = 17,
  TokenAuthenticateFirmware = 18,
};

// The confirmation word of command 15.
inline constexpr char EraseAllWord[8] = {'E', 'R', 'A', 'S', 'E', 'A', 'L', 'L'};

// The waits of a token, in milliseconds; tests shorten them.
struct TokenTimings {
  unsigned mutexWait = 3000;         // for the mutex, before any command
  unsigned commandTimeout = 3000;    // per byte, once the token has answered a Ping
  unsigned firmwareTimeout = 120000;  // per byte, during command 18
};

class CTokenDialog;

class CToken {
 public:
  // Opens the port (its exceptions pass through). The port waits 100 ms per byte until
  // the first Ping has answered.
  explicit CToken(unsigned port, const TokenTimings& timings = {});
  ~CToken();
  CToken(const CToken&) = delete;
  CToken& operator=(const CToken&) = delete;

  // One request and its reply, under the mutex. The reply's status word goes to the
  // token's status field and to *status (when given); false for no reply, a reply
  // without the marker or of the wrong length. An error reply without data is true.
  bool Transact(uint16_t command, const uint8_t* data, int length, uint8_t* reply, int replyLength,
                TokenStatus* status);

  // Every command returns true for a well-formed reply; whether the token carried it
  // out is bit 0 of that reply's status, given in *replyStatus (0 when none arrived).
  // Other threads' commands change Status() in between, so callers read their own.
  bool Ping(TokenStatus* replyStatus = nullptr);
  bool GetSalt(uint8_t salt[8], TokenStatus* replyStatus = nullptr);
  bool Unlock(const uint8_t key[16], const uint8_t verifier[16], TokenStatus* replyStatus = nullptr);
  bool ReadKeysets(TokenStatus* replyStatus = nullptr);
  bool SelectKeyset(uint16_t index, TokenStatus* replyStatus = nullptr);
  bool Decrypt(int keyType, uint8_t* block, int length, TokenStatus* replyStatus = nullptr);
  bool Encrypt(int keyType, uint8_t* block, int length, TokenStatus* replyStatus = nullptr);
  bool StoreKeyset(const uint8_t record[KeysetRecordSize], TokenStatus* replyStatus = nullptr);
  bool EraseAll(TokenStatus* replyStatus = nullptr);
  bool Lock(const uint8_t key[16], const uint8_t verifier[16], const uint8_t salt[8],
            TokenStatus* replyStatus = nullptr);
  bool SetBslPassword(const uint8_t oldPassword[32], const uint8_t newPassword[32],
                      TokenStatus* replyStatus = nullptr);
  bool AuthenticateFirmware(const uint8_t challenge[16], uint8_t response[16], TokenStatus* replyStatus = nullptr);

  // Table look-ups: no mutex, no I/O. A negative key type accepts any key flags.
  bool FindKeyset(uint32_t keysetNumber, uint32_t keysetTime, int keyType, uint16_t& index) const;
  bool FindKeysetByName(const wchar_t* name, int keyType) const;

  uint32_t Serial() const { return serial_; }
  // The status word of the last reply from any thread's command.
  TokenStatus Status() const { return status_; }
  bool Busy() const { return busy_; }
  int Capacity() const;
  int Count() const;
  // Entries 0 to count - 1, as one consistent copy.
  std::vector<KeysetInfo> Keysets() const;
  // After an erase the caller empties the table; the capacity stays.
  void ClearKeysets();

  CSerialPort& Port() { return *port_; }
  CTokenDialog* Dialog() const { return dialog_; }
  void SetDialog(CTokenDialog* dialog) { dialog_ = dialog; }

 private:
  using MutexHold = std::unique_lock<std::recursive_timed_mutex>;
  MutexHold Acquire();
  // One transaction under the mutex, its reply status given back.
  bool Command(uint16_t command, const uint8_t* data, int length, uint8_t* reply, int replyLength,
               TokenStatus* replyStatus);
  bool HasKey(const KeysetInfo& entry, int keyType) const;

  std::unique_ptr<CSerialPort> port_;
  const TokenTimings timings_;
  // Recursive like the system mutex it stands for: a holder may run Transact itself.
  std::recursive_timed_mutex mutex_;
  std::atomic<bool> busy_{false};
  // Counts the runs of command 18, so that a Ping whose mutex wait overlapped one knows.
  std::atomic<uint32_t> firmwareRuns_{0};
  std::atomic<uint32_t> serial_{0};
  std::atomic<TokenStatus> status_{0};

  // Guards the table against readers on other threads; held only to copy, never over I/O.
  mutable std::mutex tableLock_;
  int capacity_ = 0;
  int count_ = 0;
  KeysetInfo table_[MaxKeysets] = {};

  CTokenDialog* dialog_ = nullptr;
};
