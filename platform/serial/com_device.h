#pragma once
// A serial port opened by its COM name, with the line settings, time-outs, purge and
// byte transfer that the seal and token links expect of a Win32 communications handle.
// Results are 0 or an errno value; a time-out is not an error but a short transfer.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The error given when another program (or another handle) holds the port.
inline constexpr int PortInUseError = 16;  // EBUSY

inline constexpr uint32_t MaxTimeout = 0xFFFFFFFF;

struct CommTimeouts {
  uint32_t readInterval = 0;         // longest gap between two bytes of one read; MaxTimeout: return at once
  uint32_t readTotalMultiplier = 0;  // per requested byte
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;
};

enum class Parity { None, Odd, Even };

struct LineSettings {
  uint32_t baudRate = 9600;
  uint8_t dataBits = 8;  // 5 to 8
  Parity parity = Parity::None;
  uint8_t stopBits = 1;  // 1 or 2
  bool hardwareFlow = false;  // RTS/CTS
  bool softwareFlow = false;  // XON/XOFF
  // The modem control lines, raised as Linux raises them at open. With hardware flow
  // the driver drives RTS itself. A line without modem control (a pseudo-terminal)
  // ignores both and reads them as lowered.
  bool dtr = true;
  bool rts = true;
};

enum PurgeFlags : unsigned {
  PurgeTxAbort = 1,
  PurgeRxAbort = 2,
  PurgeTxClear = 4,
  PurgeRxClear = 8,
};

class ComDevice {
 public:
  ComDevice() = default;
  ~ComDevice();
  ComDevice(const ComDevice&) = delete;
  ComDevice& operator=(const ComDevice&) = delete;

  // Opens "COMn" or "\\.\COMn" through the port map, exclusively, in raw mode.
  // ENOENT for a name that the map does not know, PortInUseError when held.
  int Open(const std::string& fileName);
  // Opens a device path directly (the map's target).
  int OpenDevice(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  // Releases the port; closing a closed device does nothing.
  int Close();

  int SetQueueSizes(size_t input, size_t output);
  int GetLineSettings(LineSettings& settings) const;
  int SetLineSettings(const LineSettings& settings);
  int GetTimeouts(CommTimeouts& timeouts) const;
  int SetTimeouts(const CommTimeouts& timeouts);
  int Purge(unsigned flags);

  // Reads up to count bytes within the read time-outs. A hang-up of the peer or a
  // vanished device fails at once (EIO or ENODEV).
  int Read(void* buffer, size_t count, size_t& received);
  int Write(const void* data, size_t count, size_t& written);

 private:
  // Raises the raised ones among lines and lowers the rest.
  int SetModemLines(int lines, int raised);

  int fd_ = -1;
  CommTimeouts timeouts_;
  size_t inputQueue_ = 4096;
  size_t outputQueue_ = 4096;
};

}  // namespace platform
