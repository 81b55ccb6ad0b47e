#pragma once
// The token scan: a thread that looks at the system's serial ports every period, makes
// a CToken for each new virtual (token) port, pings the known ones, and removes those
// whose port went away or that stopped answering. It tells the user-interface thread
// about tokens only by messages sent to the token window.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "message_box.h"
#include "token.h"
#include "winmsg.h"

inline constexpr UINT WM_TOKEN_NOTIFY = WM_USER + 0;
inline constexpr UINT WM_TOKEN_ARRIVED = WM_USER + 1;
inline constexpr UINT WM_TOKEN_REMOVED = WM_USER + 2;
inline constexpr UINT WM_TOKEN_PASSWORD = WM_USER + 3;

inline constexpr int TokenSlotCount = 256;

struct TokenSlot {
  int32_t port = 0;  // 0: free; once set, kept for the program's life
  bool present = false;
  // Shared, so that a token found by the crypto object or used by a dialog stays alive
  // until that use ends, even when the scan removes it meanwhile.
  std::shared_ptr<CToken> token;
  bool announced = false;  // the token window was told of it and shows it
};

struct TokenScanOptions {
  std::chrono::milliseconds period{5000};
  TokenTimings timings;
};

class CTokenScan {
 public:
  CTokenScan(HWND tokenWindow, TokenScanOptions options = {});
  ~CTokenScan();
  CTokenScan(const CTokenScan&) = delete;
  CTokenScan& operator=(const CTokenScan&) = delete;

  // Empties the table and starts the thread; throws the system error code when the
  // thread cannot be made.
  void StartTokenScan();
  // Ends the thread once its current pass is done. Tokens stay in the table.
  void StopTokenScan();

  // The tokens of the table in slot order, each held for the caller's use.
  std::vector<std::shared_ptr<CToken>> Tokens() const;
  // The slot's token if it is still in the table (a handler's check for a token it was told of).
  std::shared_ptr<CToken> Find(const CToken* token) const;
  // Runs one pass now, on the calling thread (the thread runs the same).
  void ScanPass();
  uint64_t Passes() const;

 private:
  void TokenScanThread();
  bool Stopping();
  std::vector<unsigned> PresentVirtualPorts();
  void Remove(TokenSlot& slot);

  const HWND window_;
  const TokenScanOptions options_;
  mutable std::mutex tableLock_;  // guards slots_ against readers; held only to read or swap
  TokenSlot slots_[TokenSlotCount];
  uint64_t passes_ = 0;

  std::mutex stopLock_;
  std::condition_variable stopSignal_;
  bool stop_ = false;
  std::thread thread_;
};
