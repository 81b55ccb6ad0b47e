#include "tester_sim.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

constexpr size_t ReplyLimit = 127;

}  // namespace

TesterSimulator::TesterSimulator() {
  values_["FQP"] = "1000 50";
  values_["MEAS"] = "101 202 303 404 505 606 707 808";
  values_[".LASERPWM"] = "128";
  values_[".LASERPWM1"] = "96";
  values_[".LASERPWM2"] = "160";
  values_[".LASERDEFLT"] = "128";
  thread_ = std::thread([this] { Serve(); });
}

TesterSimulator::~TesterSimulator() {
  stop_ = true;
  line_.Wake();
  thread_.join();
}

void TesterSimulator::SetValues(const std::string& command, const std::string& values) {
  std::lock_guard lock(mutex_);
  values_[command] = values;
}

void TesterSimulator::SetFault(TesterFault fault, uint32_t param, const std::string& text) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
  param_ = param;
  text_ = text;
}

void TesterSimulator::SetLogFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  logFile_ = path;
}

std::vector<std::string> TesterSimulator::Received() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void TesterSimulator::ClearLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

bool TesterSimulator::WaitForLines(size_t count, std::chrono::milliseconds timeout) const {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    if (Received().size() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Received().size() >= count;
}

std::string TesterSimulator::Reply(const std::string& command) {
  std::string values;
  {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(command); it != values_.end()) values = it->second;
  }
  if (values.empty() && command == "?P1") {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", unsigned(switches_.load()));
    values = hex;
  }
  if (command.rfind("!P1 ", 0) == 0) switches_ = int32_t(std::strtol(command.c_str() + 4, nullptr, 10));
  std::string reply = command + "\r\n";
  if (!values.empty()) reply += values + "\r\n";
  return reply + "ok";
}

void TesterSimulator::Serve() {
  std::string line;
  while (!stop_) {
    auto b = line_.ReadByte(std::chrono::milliseconds(20));  // short, so that stopping is quick
    if (!b) continue;
    if (*b != '\r') {
      line.push_back(char(*b));
      continue;
    }
    TesterFault fault;
    uint32_t param;
    std::string text;
    {
      std::lock_guard lock(mutex_);
      log_.push_back(line + "\r");
      if (!logFile_.empty()) {
        if (FILE* f = std::fopen(logFile_.c_str(), "ab")) {
          std::fprintf(f, "%s\r\n", line.c_str());
          std::fclose(f);
        }
      }
      fault = fault_;
      param = param_;
      text = text_;
    }
    std::string reply = Reply(line);
    switch (fault) {
      case TesterFault::Silence: reply.clear(); break;
      case TesterFault::NoOk:
        reply = line + "\r\n";
        while (reply.size() < ReplyLimit) reply += '.';
        reply.resize(ReplyLimit);
        break;
      case TesterFault::OmitValues: reply = line + "\r\nok"; break;
      case TesterFault::Trailer: reply += text; break;
      case TesterFault::Raw: reply = text; break;
      default: break;
    }
    Send(reply, fault, param);
    line.clear();
  }
}

void TesterSimulator::Send(const std::string& reply, TesterFault fault, uint32_t param) {
  if (fault != TesterFault::Trickle) {
    line_.Write(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
    return;
  }
  for (char c : reply) {
    if (stop_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(param));
    line_.Write(reinterpret_cast<const uint8_t*>(&c), 1);
  }
}

}  // namespace sim
