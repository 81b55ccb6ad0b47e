#pragma once
// A pseudo-terminal that stands in for a device's serial line. The device side keeps
// the terminal end open too, so the program under test can open, close and reopen it;
// Unplug() hangs the line up as a pulled USB device would.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The device path the program under test opens.
  const std::string& Path() const { return path_; }
  bool Plugged() const { return master_ >= 0; }

  void Write(const std::vector<uint8_t>& bytes);
  void Write(const uint8_t* bytes, size_t count);
  // One byte within the time-out, or nothing (also after an unplug).
  std::optional<uint8_t> ReadByte(std::chrono::milliseconds timeout);
  // Everything that arrives until the line is quiet for the given time.
  std::vector<uint8_t> ReadUntilQuiet(std::chrono::milliseconds quiet);
  // Waits until the line carries data or the time-out passes; false on time-out.
  bool WaitReadable(std::chrono::milliseconds timeout);
  // Interrupts a ReadByte or WaitReadable that waits in another thread.
  void Wake();
  void Unplug();

  // The line settings the program under test gave its end, as the device sees them.
  struct Line {
    unsigned baudRate = 0;
    int dataBits = 0;
    int stopBits = 0;
    bool parity = false;
  };
  Line LineSettings() const;

 private:
  std::atomic<int> master_{-1};
  int terminal_ = -1;  // held so the line never hangs up between the tested program's opens
  int wake_[2] = {-1, -1};
  std::string path_;
};

// Points the system's COM port map at a file of the test's own for its lifetime.
class ScopedPortMap {
 public:
  struct Entry {
    unsigned number;
    std::string device;
    bool virtualPort = false;
  };
  explicit ScopedPortMap(const std::vector<Entry>& entries);
  ~ScopedPortMap();
  ScopedPortMap(const ScopedPortMap&) = delete;
  ScopedPortMap& operator=(const ScopedPortMap&) = delete;
  const std::string& File() const { return file_; }

 private:
  std::string file_;
  std::optional<std::string> previous_;
};

}  // namespace sim
