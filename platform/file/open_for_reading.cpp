#include "open_for_reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace platform {

namespace {

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
  // A path descriptor opens no device and waits on no FIFO; the file it stands for is
  // checked, then opened for reading through /proc, which reaches that very file and not
  // whatever the path leads to by then.
  Descriptor file(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0) return -1;
  if (!S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : NotARegularFile;
    return -1;
  }
  const std::string reopen = "/proc/self/fd/" + std::to_string(file.Get());
  int fd = ::open(reopen.c_str(), O_RDONLY | O_CLOEXEC);
  // The file is open, so only a missing /proc is missing here. No open by the path
  // instead: that would bring back the opening of whatever the path was swapped for.
  if (fd < 0 && errno == ENOENT) errno = ENOSYS;
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
