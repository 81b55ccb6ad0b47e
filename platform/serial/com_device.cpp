#include "com_device.h"

#include "port_map.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct BaudEntry {
  uint32_t rate;
  speed_t speed;
};
constexpr BaudEntry BaudTable[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedFor(uint32_t rate, speed_t& speed) {
  for (auto e : BaudTable)
    if (e.rate == rate) { speed = e.speed; return true; }
  return false;
}

uint32_t RateFor(speed_t speed) {
  for (auto e : BaudTable)
    if (e.speed == speed) return e.rate;
  return 0;
}

constexpr auto NoDeadline = Clock::time_point::max();

// Waits until the event is ready on fd or the deadline passes; 1 ready, 0 timed out,
// or -errno. A hang-up is EIO. Signals restart the wait against the same deadline.
int WaitFor(int fd, short event, Clock::time_point deadline) {
  pollfd p{fd, event, 0};
  for (;;) {
    int timeoutMs = -1;
    if (deadline != NoDeadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return 0;
      timeoutMs = int(std::min<long long>(left, 1 << 30));
    }
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -errno;
    if (r == 0) continue;  // the deadline check above ends the wait
    if (p.revents & POLLNVAL) return -EBADF;
    if (p.revents & event) return 1;
    if (p.revents & (POLLHUP | POLLERR)) return -EIO;
  }
}

Clock::time_point DeadlineAfter(uint64_t ms) {
  return ms == 0 ? NoDeadline : Clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

ComDevice::~ComDevice() { Close(); }

int ComDevice::Open(const std::string& fileName) {
  auto number = ComNumberFromFileName(fileName);
  if (!number) return ENOENT;
  auto entry = PortMap::Load().Find(*number);
  if (!entry) return ENOENT;
  return OpenDevice(entry->device);
}

int ComDevice::OpenDevice(const std::string& path) {
  if (IsOpen()) return EBUSY;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // flock keeps out every other program, root included; TIOCEXCL keeps out
  // programs that do not take the lock (root ignores it).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno == EWOULDBLOCK ? PortInUseError : errno;
    ::close(fd);
    return e;
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    int e = errno;
    ::close(fd);
    return e;
  }
  ::ioctl(fd, TIOCEXCL);
  // A tty starts cooked: it would translate CR and swallow XON/XOFF bytes.
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 1;  // with O_NONBLOCK: no data is EAGAIN, end of file is a hang-up
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    int e = errno;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return e;
  }
  fd_ = fd;
  timeouts_ = {};
  return 0;
}

int ComDevice::Close() {
  if (fd_ < 0) return 0;
  ::ioctl(fd_, TIOCNXCL);
  int r = ::close(fd_);
  fd_ = -1;
  return r == 0 || errno == EINTR ? 0 : errno;
}

int ComDevice::SetQueueSizes(size_t input, size_t output) {
  if (!IsOpen()) return EBADF;
  if (input == 0 || output == 0) return EINVAL;
  // The kernel sizes its own tty buffers; the request is kept for what it says.
  inputQueue_ = input;
  outputQueue_ = output;
  return 0;
}

int ComDevice::GetLineSettings(LineSettings& s) const {
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return errno;
  s.baudRate = RateFor(::cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8; break;
  }
  s.parity = !(t.c_cflag & PARENB) ? Parity::None : (t.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
  s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
  s.hardwareFlow = t.c_cflag & CRTSCTS;
  s.softwareFlow = t.c_iflag & (IXON | IXOFF);
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) != 0) lines = 0;
  s.dtr = lines & TIOCM_DTR;
  s.rts = lines & TIOCM_RTS;
  return 0;
}

int ComDevice::SetLineSettings(const LineSettings& s) {
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return errno;
  speed_t speed;
  if (!SpeedFor(s.baudRate, speed) || s.dataBits < 5 || s.dataBits > 8 ||
      (s.stopBits != 1 && s.stopBits != 2))
    return EINVAL;
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[s.dataBits - 5];
  t.c_cflag &= ~(PARENB | PARODD | CSTOPB | CRTSCTS);
  if (s.parity != Parity::None) t.c_cflag |= PARENB;
  if (s.parity == Parity::Odd) t.c_cflag |= PARODD;
  if (s.stopBits == 2) t.c_cflag |= CSTOPB;
  if (s.hardwareFlow) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (s.softwareFlow) t.c_iflag |= IXON | IXOFF;
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return errno;
  return SetModemLines(s.hardwareFlow ? TIOCM_DTR : TIOCM_DTR | TIOCM_RTS,
                       (s.dtr ? TIOCM_DTR : 0) | (!s.hardwareFlow && s.rts ? TIOCM_RTS : 0));
}

int ComDevice::SetModemLines(int lines, int raised) {
  const int lowered = lines & ~raised;
  if ((raised && ::ioctl(fd_, TIOCMBIS, &raised) != 0) || (lowered && ::ioctl(fd_, TIOCMBIC, &lowered) != 0))
    return errno == ENOTTY || errno == EINVAL ? 0 : errno;  // a line without modem control
  return 0;
}

int ComDevice::GetTimeouts(CommTimeouts& timeouts) const {
  if (!IsOpen()) return EBADF;
  timeouts = timeouts_;
  return 0;
}

int ComDevice::SetTimeouts(const CommTimeouts& timeouts) {
  if (!IsOpen()) return EBADF;
  timeouts_ = timeouts;
  return 0;
}

int ComDevice::Purge(unsigned flags) {
  if (!IsOpen()) return EBADF;
  // Transfers are synchronous, so there is never a pending one to abort.
  bool in = flags & PurgeRxClear, out = flags & PurgeTxClear;
  if (!in && !out) return 0;
  int queue = in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH;
  return ::tcflush(fd_, queue) == 0 ? 0 : errno;
}

int ComDevice::Read(void* buffer, size_t count, size_t& received) {
  received = 0;
  if (!IsOpen()) return EBADF;
  auto* out = static_cast<uint8_t*>(buffer);
  const auto& t = timeouts_;
  bool immediate = t.readInterval == MaxTimeout && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
  auto deadline = DeadlineAfter(uint64_t(t.readTotalMultiplier) * count + t.readTotalConstant);
  bool useInterval = t.readInterval != 0 && t.readInterval != MaxTimeout;
  while (received < count) {
    ssize_t n = ::read(fd_, out + received, count - received);
    if (n > 0) {
      received += size_t(n);
      continue;
    }
    if (n == 0) return EIO;  // end of file on a tty: the line hung up
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return errno;
    if (immediate) return 0;
    auto until = deadline;
    if (useInterval && received > 0) until = std::min(until, Clock::now() + std::chrono::milliseconds(t.readInterval));
    int r = WaitFor(fd_, POLLIN, until);
    if (r == -EIO) {
      // Bytes still queued before the hang-up are delivered first.
      ssize_t last = ::read(fd_, out + received, count - received);
      if (last > 0) {
        received += size_t(last);
        continue;
      }
    }
    if (r < 0) return -r;
    if (r == 0) return 0;
  }
  return 0;
}

int ComDevice::Write(const void* data, size_t count, size_t& written) {
  written = 0;
  if (!IsOpen()) return EBADF;
  auto* in = static_cast<const uint8_t*>(data);
  auto deadline = DeadlineAfter(uint64_t(timeouts_.writeTotalMultiplier) * count + timeouts_.writeTotalConstant);
  while (written < count) {
    ssize_t n = ::write(fd_, in + written, count - written);
    if (n > 0) {
      written += size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return errno;
    int r = WaitFor(fd_, POLLOUT, deadline);
    if (r < 0) return -r;
    if (r == 0) return 0;
  }
  return 0;
}

}  // namespace platform
