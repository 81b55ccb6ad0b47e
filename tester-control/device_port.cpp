#include "device_port.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "win32_error.h"

namespace {

HRESULT FromErrno(int error) { return HRESULT_FROM_WIN32(platform::Win32ErrorFromErrno(error)); }

}  // namespace

HRESULT CDevicePort::Open(uint8_t number) {
  number_ = number;
  char szDevice[12];
  std::snprintf(szDevice, sizeof szDevice, "\\\\.\\COM%u", unsigned(number));
  int error = device_.Open(szDevice);
  if (error != 0) {
    std::this_thread::sleep_for(RetryDelay);
    error = device_.Open(szDevice);
  }
  if (error != 0) return FromErrno(error);
  if (int e = device_.SetQueueSizes(4096, 4096)) return FromErrno(e);
  platform::LineSettings dcb;
  if (int e = device_.GetLineSettings(dcb)) return FromErrno(e);
  // Flow control stays as the driver reported it.
  dcb.baudRate = 9600;
  dcb.dataBits = 8;
  dcb.parity = platform::Parity::None;
  dcb.stopBits = 1;
  if (int e = device_.SetLineSettings(dcb)) return FromErrno(e);
  platform::CommTimeouts timeouts;
  timeouts.readTotalConstant = ReadTimeoutMs;
  if (int e = device_.SetTimeouts(timeouts)) return FromErrno(e);
  return S_OK;
}

HRESULT CDevicePort::Close() {
  number_ = 0;
  device_.Close();
  return S_OK;
}

int CDevicePort::WriteCommand(const char* command) {
  if (!device_.IsOpen()) return 0;
  device_.Purge(platform::PurgeTxClear | platform::PurgeRxClear);
  size_t text = 0, cr = 0;
  device_.Write(command, std::strlen(command), text);
  device_.Write("\r", 1, cr);
  return int(text + cr);
}

int CDevicePort::ReadReply(char* buffer, int length) {
  int i = 0;
  while (i < length - 1) {
    size_t got = 0;
    if (device_.Read(buffer + i, 1, got) != 0 || got == 0) return 0;
    if (i >= 1 && buffer[i - 1] == 'o' && buffer[i] == 'k') {
      buffer[i + 1] = '\0';
      return i;
    }
    ++i;
  }
  return -1;
}

int32_t ParseInt(const char** position, int base) {
  const char* p = *position;
  while (*p == ' ' || *p == '\r' || *p == '\n') ++p;
  char* end = nullptr;
  long value = std::strtol(p, &end, base);
  *position = end;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}
