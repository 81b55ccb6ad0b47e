#pragma once
// A simulated seal tester on a pseudo-terminal: it reads one-line commands ended by a
// carriage return, echoes each line, answers with its values where the command asks for
// them and ends with "ok". It logs every line it received and can be told to misbehave.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"

namespace sim {

enum class TesterFault {
  None,
  Silence,       // no reply at all
  Trickle,       // the reply one byte every param ms
  NoOk,          // 127 bytes of echo and filler, never "ok"
  OmitValues,    // the echo and "ok", without the values
  Trailer,       // the reply, then text the next exchange must never see
  Raw,           // text sent as the whole reply
};

class TesterSimulator {
 public:
  TesterSimulator();
  ~TesterSimulator();
  TesterSimulator(const TesterSimulator&) = delete;
  TesterSimulator& operator=(const TesterSimulator&) = delete;

  const std::string& Path() const { return line_.Path(); }

  // The values text a command answers with (numbers separated by blanks); a command
  // without an entry answers without values. "?P1" answers with the switch word in
  // hexadecimal and "!P1 n" sets it, unless an entry says otherwise.
  void SetValues(const std::string& command, const std::string& values);
  // The misbehaviour for every following command; text is Raw's reply or Trailer's tail.
  void SetFault(TesterFault fault, uint32_t param = 0, const std::string& text = "");

  // Every line received, with its carriage return.
  std::vector<std::string> Received() const;
  void ClearLog();
  // Also appends every received line, CR included, and a line feed to this file.
  void SetLogFile(const std::string& path);
  // Waits until count lines have arrived.
  bool WaitForLines(size_t count, std::chrono::milliseconds timeout) const;
  int32_t SwitchWord() const { return switches_; }

  // The reply to one command line (without its CR) as the tester sends it.
  std::string Reply(const std::string& command);

 private:
  void Serve();
  void Send(const std::string& reply, TesterFault fault, uint32_t param);

  PseudoTerminal line_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> values_;
  std::vector<std::string> log_;
  std::string logFile_;
  TesterFault fault_ = TesterFault::None;
  uint32_t param_ = 0;
  std::string text_;
  std::atomic<int32_t> switches_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace sim
