#include "token_scan.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

#include "registry.h"

namespace {

// The decimal number after the first three characters of a port name such as "COM5".
unsigned PortNumberOf(const char* data) {
  if (std::strlen(data) < 3) return 0;
  return unsigned(std::strtoul(data + 3, nullptr, 10));
}

}  // namespace

CTokenScan::CTokenScan(HWND tokenWindow, TokenScanOptions options) : window_(tokenWindow), options_(options) {}

CTokenScan::~CTokenScan() { StopTokenScan(); }

void CTokenScan::StartTokenScan() {
  {
    std::lock_guard lock(tableLock_);
    for (auto& slot : slots_) slot = TokenSlot{};
  }
  {
    std::lock_guard lock(stopLock_);
    stop_ = false;
  }
  try {
    thread_ = std::thread([this] { TokenScanThread(); });
  } catch (const std::system_error& e) {
    throw e.code().value();
  }
}

void CTokenScan::StopTokenScan() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(stopLock_);
    stop_ = true;
  }
  stopSignal_.notify_all();
  // A pass stopped in the middle of a port time-out finishes it first: the thread uses
  // the table, so it must end before the table does.
  thread_.join();
  std::lock_guard lock(stopLock_);
  stop_ = false;  // a pass run by hand afterwards goes over every port
}

bool CTokenScan::Stopping() {
  std::lock_guard lock(stopLock_);
  return stop_;
}

void CTokenScan::TokenScanThread() {
  std::unique_lock lock(stopLock_);
  while (!stop_) {
    lock.unlock();
    ScanPass();
    lock.lock();
    stopSignal_.wait_for(lock, options_.period, [this] { return stop_; });
  }
}

std::vector<unsigned> CTokenScan::PresentVirtualPorts() {
  std::vector<unsigned> ports;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return ports;
  for (DWORD index = 0;; ++index) {
    char name[257] = {};
    BYTE data[257] = {};
    DWORD nameLength = 256, dataLength = 256, type = 0;
    if (RegEnumValue(key, index, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS) break;
    if (std::strstr(name, "VCP")) ports.push_back(PortNumberOf(reinterpret_cast<const char*>(data)));
  }
  RegCloseKey(key);
  return ports;
}

void CTokenScan::ScanPass() {
  std::vector<unsigned> present = PresentVirtualPorts();
  {
    std::lock_guard lock(tableLock_);
    for (auto& slot : slots_) slot.present = false;
    for (unsigned port : present) {
      TokenSlot* found = nullptr;
      for (auto& slot : slots_)
        if (slot.port == int32_t(port)) {
          found = &slot;
          break;
        }
      if (!found)
        for (auto& slot : slots_)
          if (slot.port == 0) {
            found = &slot;
            found->port = int32_t(port);
            break;
          }
      if (found) found->present = true;
    }
    ++passes_;
  }
  // Only this thread changes the slots' ports and tokens, so it reads them without the lock.
  for (auto& slot : slots_) {
    // Each silent port costs a time-out: a stop waits for the port in progress only.
    if (Stopping()) break;
    if (slot.present && !slot.token) {
      std::shared_ptr<CToken> token;
      try {
        token = std::make_shared<CToken>(unsigned(slot.port), options_.timings);
      } catch (...) {
        continue;  // tried again next pass
      }
      TokenStatus status = 0;
      if (!token->Ping(&status)) continue;
      while (status & TokenPasswordLock) {
        // 0: the window is gone or its loop has ended, which ends the asking as a cancel does.
        LRESULT answer = SendMessage(window_, WM_TOKEN_PASSWORD, 0, LPARAM(token.get()));
        if (answer == platform::IDCANCEL || answer == 0) break;
        if (!token->Ping(&status)) break;
      }
      bool announced = !(status & TokenPasswordLock) && token->ReadKeysets();
      if (announced) SendMessage(window_, WM_TOKEN_ARRIVED, 0, LPARAM(token.get()));
      std::lock_guard lock(tableLock_);
      slot.token = std::move(token);
      slot.announced = announced;
    } else if (slot.token && (!slot.present || !slot.token->Ping())) {
      Remove(slot);
    }
  }
}

void CTokenScan::Remove(TokenSlot& slot) {
  // Every token the window shows is taken off it, not only those with a dialog.
  if (slot.announced || slot.token->Dialog()) {
    SendMessage(window_, WM_TOKEN_REMOVED, 0, LPARAM(slot.token.get()));
    // A window whose loop has ended answers without handling the removal and still lists
    // the token with its dialog: the token stays until the window has let it go.
    if (slot.token->Dialog()) return;
  }
  std::shared_ptr<CToken> gone;
  {
    std::lock_guard lock(tableLock_);
    gone = std::move(slot.token);
    slot.announced = false;
  }
  // Deleted here unless a crypto call or a dialog still holds it; then when that ends.
}

std::vector<std::shared_ptr<CToken>> CTokenScan::Tokens() const {
  std::lock_guard lock(tableLock_);
  std::vector<std::shared_ptr<CToken>> tokens;
  for (const auto& slot : slots_)
    if (slot.token) tokens.push_back(slot.token);
  return tokens;
}

std::shared_ptr<CToken> CTokenScan::Find(const CToken* token) const {
  std::lock_guard lock(tableLock_);
  for (const auto& slot : slots_)
    if (slot.token.get() == token) return slot.token;
  return nullptr;
}

uint64_t CTokenScan::Passes() const {
  std::lock_guard lock(tableLock_);
  return passes_;
}
