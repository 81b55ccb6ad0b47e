#pragma once
// Paths a program is given to open that it must refuse at once rather than wait on or
// read whole: a FIFO nobody writes to, and how much memory refusing a large file took.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

// A FIFO at path, removed again with this object.
class Fifo {
 public:
  explicit Fifo(std::string path) : path_(std::move(path)) { ::mkfifo(path_.c_str(), 0600); }
  ~Fifo() { ::unlink(path_.c_str()); }
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;
  const std::string& Path() const { return path_; }

  // Runs call on this thread and says whether it returned within two seconds. While it
  // runs longer, a writer comes and goes on the FIFO every tenth of a second, which ends
  // an open or read waiting on it, so a test fails instead of hanging.
  template <class F>
  bool ReturnsAtOnce(F&& call) const {
    using namespace std::chrono;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock lock(mutex);
      if (ended.wait_for(lock, seconds(2), [&] { return done; })) return;
      do {
        int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
      } while (!ended.wait_for(lock, milliseconds(100), [&] { return done; }));
    });
    const auto start = steady_clock::now();
    call();
    const auto took = steady_clock::now() - start;
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    ended.notify_one();
    watchdog.join();
    return took < seconds(2);
  }

 private:
  std::string path_;
};

// The memory a byte read into memory takes: ThreadSanitizer keeps a shadow of four bytes
// for each byte written.
#if defined(__SANITIZE_THREAD__)
inline constexpr long long MemoryPerByteRead = 5;
#else
inline constexpr long long MemoryPerByteRead = 1;
#endif

// The most memory this process has held so far, in bytes.
inline long long PeakMemory() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return (long long)usage.ru_maxrss * 1024;
}

}  // namespace sim
