#include "open_for_reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace platform {

namespace {

bool Blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

int NoRegularFileError(const struct stat& info) { return S_ISDIR(info.st_mode) ? EISDIR : NotARegularFile; }

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int OpenForReading(const std::string& path, struct stat& info) {
  if (::stat(path.c_str(), &info) != 0) return -1;
  if (!S_ISREG(info.st_mode)) {
    errno = NoRegularFileError(info);
    return -1;
  }
  // Without waiting, should the path lead to a FIFO by now.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  int error = 0;
  if (::fstat(fd, &info) != 0) error = errno;
  else if (!S_ISREG(info.st_mode)) error = NoRegularFileError(info);
  else if (!Blocking(fd)) error = errno;
  if (error != 0) {
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int ReadRegularFile(const std::string& path, size_t limit, std::string& text) {
  text.clear();
  struct stat info;
  Descriptor fd(OpenForReading(path, info));
  if (fd.Get() < 0) return errno;
  if (uintmax_t(info.st_size) > limit) return EFBIG;
  text.resize(size_t(info.st_size));
  size_t done = 0;
  while (true) {
    if (done == text.size()) {
      // Room for one byte past the limit, so a file of just the limit ends in a read of 0.
      if (text.size() > limit) return EFBIG;
      text.resize(std::min(limit + 1, text.size() + 4096));
    }
    ssize_t n = ::read(fd.Get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    done += size_t(n);
  }
  text.resize(done);
  return 0;
}

}  // namespace platform
