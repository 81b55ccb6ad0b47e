#include "pseudo_terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

#include "port_map.h"

namespace sim {

namespace {

[[noreturn]] void Fail(const char* what) { throw std::runtime_error(std::string(what) + ": " + std::strerror(errno)); }

}  // namespace

PseudoTerminal::PseudoTerminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) Fail("posix_openpt");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) Fail("unlockpt");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) Fail("ptsname");
  path_ = name;
  terminal_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal_ < 0) Fail("open pty");
  termios t{};
  ::tcgetattr(terminal_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(terminal_, TCSANOW, &t);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) Fail("pipe");
}

PseudoTerminal::~PseudoTerminal() {
  Unplug();
  if (terminal_ >= 0) ::close(terminal_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

PseudoTerminal::Line PseudoTerminal::LineSettings() const {
  termios t{};
  if (::tcgetattr(master_, &t) != 0) return {};
  Line line;
  const struct {
    speed_t speed;
    unsigned rate;
  } rates[] = {{B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200},
               {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
  for (const auto& r : rates)
    if (::cfgetospeed(&t) == r.speed) line.baudRate = r.rate;
  line.dataBits = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : (t.c_cflag & CSIZE) == CS6 ? 6 : 5;
  line.stopBits = t.c_cflag & CSTOPB ? 2 : 1;
  line.parity = t.c_cflag & PARENB;
  return line;
}

void PseudoTerminal::Unplug() {
  if (master_ < 0) return;
  ::close(master_);
  master_ = -1;
  Wake();
}

void PseudoTerminal::Wake() {
  char c = 1;
  [[maybe_unused]] auto r = ::write(wake_[1], &c, 1);
}

void PseudoTerminal::Write(const std::vector<uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }

void PseudoTerminal::Write(const uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (master_ >= 0 && done < count) {
    ssize_t n = ::write(master_, bytes + done, count - done);
    if (n > 0) {
      done += size_t(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

bool PseudoTerminal::WaitReadable(std::chrono::milliseconds timeout) {
  if (master_ < 0) return false;
  pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  int r = ::poll(p, 2, int(timeout.count()));
  if (p[1].revents & POLLIN) {
    char scrap[16];
    while (::read(wake_[0], scrap, sizeof scrap) > 0) {
    }
  }
  return r > 0 && (p[0].revents & POLLIN);
}

std::optional<uint8_t> PseudoTerminal::ReadByte(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (master_ < 0) return std::nullopt;
    uint8_t b;
    ssize_t n = ::read(master_, &b, 1);
    if (n == 1) return b;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (!WaitReadable(left) && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    if (master_ < 0) return std::nullopt;
  }
}

std::vector<uint8_t> PseudoTerminal::ReadUntilQuiet(std::chrono::milliseconds quiet) {
  std::vector<uint8_t> bytes;
  while (auto b = ReadByte(quiet)) bytes.push_back(*b);
  return bytes;
}

ScopedPortMap::ScopedPortMap(const std::vector<Entry>& entries) {
  char pattern[] = "/tmp/zarn-ports-XXXXXX";
  int fd = ::mkstemp(pattern);
  if (fd < 0) Fail("mkstemp");
  ::close(fd);
  file_ = pattern;
  std::ofstream out(file_);
  for (const auto& e : entries)
    out << "COM" << e.number << ' ' << e.device << ' ' << (e.virtualPort ? "vcp" : "serial") << '\n';
  if (const char* p = std::getenv(platform::PortMapVariable)) previous_ = p;
  ::setenv(platform::PortMapVariable, file_.c_str(), 1);
}

ScopedPortMap::~ScopedPortMap() {
  if (previous_) ::setenv(platform::PortMapVariable, previous_->c_str(), 1);
  else ::unsetenv(platform::PortMapVariable);
  ::unlink(file_.c_str());
}

}  // namespace sim
