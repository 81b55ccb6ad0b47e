#include "port_map.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "open_for_reading.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::optional<unsigned> ParseNumber(const std::string& digits) {
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  unsigned n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + unsigned(c - '0');
  }
  return n;
}

std::string ReadFailure(int error) {
  switch (error) {
    case EISDIR:
    case NotARegularFile: return "it is no regular file";
    case EFBIG: return "it is larger than " + std::to_string(MaxPortMapFile >> 10) + " KB";
    default: return std::strerror(error);
  }
}

}  // namespace

std::optional<unsigned> ComNumberFromFileName(const std::string& fileName) {
  std::string name = Lower(fileName);
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  if (name.rfind("com", 0) != 0) return std::nullopt;
  return ParseNumber(name.substr(3));
}

bool IsCdcAcmDevice(const std::string& device) {
  std::error_code ec;
  fs::path real = fs::canonical(device, ec);
  if (ec) return false;
  fs::path driver = fs::path("/sys/class/tty") / real.filename() / "device" / "driver";
  fs::path target = fs::canonical(driver, ec);
  return !ec && target.filename() == "cdc_acm";
}

bool DevicePresent(const std::string& device) {
  std::error_code ec;
  fs::path real = fs::canonical(device, ec);
  if (ec) return false;
  // Legacy serial nodes exist whether or not a UART answers behind them; the kernel
  // reports such a port's type as 0 (unknown).
  if (real.filename().string().rfind("ttyS", 0) == 0) {
    std::ifstream type(fs::path("/sys/class/tty") / real.filename() / "type");
    int kind = -1;
    if (type >> kind && kind == 0) return false;
  }
  return true;
}

std::string PortMap::FilePath() {
  if (const char* p = std::getenv(PortMapVariable); p && *p) return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/zarn/ports";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/root") + "/.config/zarn/ports";
}

PortMap PortMap::Load() {
  const std::string path = FilePath();
  std::string text;
  const int error = ReadRegularFile(path, MaxPortMapFile, text);
  if (error == 0) return Parse(text);
  if (error == ENOENT || error == ENOTDIR) return Defaults();
  // A map that is there stands for the administrator's ports: none rather than others.
  PortMap map;
  map.problems_.push_back("the map file \"" + path + "\" cannot be read: " + ReadFailure(error));
  return map;
}

PortMap PortMap::Defaults() {
  PortMap map;
  for (unsigned i = 0; i < 4; ++i) map.Add({1 + i, "/dev/ttyS" + std::to_string(i), false});
  for (unsigned i = 0; i < 5; ++i) map.Add({5 + i, "/dev/ttyUSB" + std::to_string(i), false});
  for (unsigned i = 0; i < 20; ++i) map.Add({10 + i, "/dev/ttyACM" + std::to_string(i), true});
  return map;
}

// One entry a line: "COM7 /dev/ttyUSB0", optionally followed by "vcp" or "serial".
// Without a kind, a device driven by cdc_acm counts as a virtual port.
PortMap PortMap::Parse(const std::string& text) {
  PortMap map;
  std::istringstream lines(text);
  std::string line;
  int lineNumber = 0;
  while (std::getline(lines, line)) {
    ++lineNumber;
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string name, device, kind, extra;
    if (!(words >> name)) continue;
    auto problem = [&](const std::string& what) {
      map.problems_.push_back("line " + std::to_string(lineNumber) + ": " + what);
    };
    auto number = ComNumberFromFileName(name);
    if (!number || *number == 0 || *number > 255) {
      problem("\"" + name + "\" is not a COM port name (COM1 to COM255)");
      continue;
    }
    if (!(words >> device) || device.front() != '/') {
      problem("COM" + std::to_string(*number) + " needs an absolute device path");
      continue;
    }
    words >> kind;
    if (words >> extra) {
      problem("unexpected text \"" + extra + "\"");
      continue;
    }
    bool isVirtual;
    if (kind.empty()) isVirtual = IsCdcAcmDevice(device);
    else if (Lower(kind) == "vcp") isVirtual = true;
    else if (Lower(kind) == "serial") isVirtual = false;
    else {
      problem("unknown port kind \"" + kind + "\" (vcp or serial)");
      continue;
    }
    if (map.Find(*number)) {
      problem("COM" + std::to_string(*number) + " is mapped twice");
      continue;
    }
    map.Add({*number, device, isVirtual});
  }
  return map;
}

void PortMap::Add(PortEntry entry) {
  auto at = std::lower_bound(entries_.begin(), entries_.end(), entry.number,
                             [](const PortEntry& e, unsigned n) { return e.number < n; });
  entries_.insert(at, std::move(entry));
}

std::optional<PortEntry> PortMap::Find(unsigned number) const {
  for (const auto& e : entries_)
    if (e.number == number) return e;
  return std::nullopt;
}

std::vector<PortEntry> PortMap::PresentPorts() const {
  std::vector<PortEntry> present;
  for (const auto& e : entries_)
    if (DevicePresent(e.device)) present.push_back(e);
  return present;
}

}  // namespace platform
