#pragma once
// Which device stands behind each COM number. Every program of the system reads the
// same map, so an administrator configures ports once, and tests point it elsewhere.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Environment variable naming the map file to use instead of the user's own.
inline constexpr const char* PortMapVariable = "ZARN_PORT_MAP";

// The largest map file read: one line for each of 255 ports is some kilobytes.
inline constexpr size_t MaxPortMapFile = 1u << 20;

struct PortEntry {
  unsigned number = 0;    // the COM number
  std::string device;     // the device path, e.g. /dev/ttyUSB0
  bool virtualPort = false;  // the USB CDC-ACM kind that crypto tokens use
};

class PortMap {
 public:
  // The map file in force: $ZARN_PORT_MAP, else $XDG_CONFIG_HOME/zarn/ports,
  // else ~/.config/zarn/ports.
  static std::string FilePath();

  // Reads the map in force. A missing file gives the built-in default map; a file that
  // cannot be read (no regular file, over MaxPortMapFile) gives no ports, and why in
  // Problems(). Only a regular file is opened.
  static PortMap Load();
  // Parses map text; lines that cannot be read are skipped and listed in Problems().
  static PortMap Parse(const std::string& text);
  static PortMap Defaults();

  std::optional<PortEntry> Find(unsigned number) const;
  // The entries whose device is present right now (DevicePresent), in COM-number order.
  std::vector<PortEntry> PresentPorts() const;
  const std::vector<PortEntry>& Entries() const { return entries_; }
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  void Add(PortEntry entry);
  std::vector<PortEntry> entries_;
  std::vector<std::string> problems_;
};

// True when the kernel's tty of this device is driven by cdc_acm (a USB virtual COM port).
bool IsCdcAcmDevice(const std::string& device);

// True when the device exists and, for a legacy serial node, a UART stands behind it.
// Never opens the device: an open would raise the modem lines.
bool DevicePresent(const std::string& device);

// The COM number named by a Win32 style file name: "COM7", "\\.\COM12" (any case).
std::optional<unsigned> ComNumberFromFileName(const std::string& fileName);

}  // namespace platform
