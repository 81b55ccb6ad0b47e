// Opening files to read them whole, against the kernel's own FIFOs and pseudo-terminals.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

#include "file_traps.h"
#include "open_for_reading.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

struct TempDir {
  TempDir() {
    char name[] = "/tmp/zarn-file-XXXXXX";
    path = ::mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
};

// A thread that opens a FIFO for writing and waits in that open until a reader comes.
class BlockedWriter {
 public:
  explicit BlockedWriter(const std::string& fifo) : fifo_(fifo) {
    thread_ = std::thread([this] {
      tid_ = pid_t(::syscall(SYS_gettid));
      int fd = ::open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
      opened_ = true;
      if (fd >= 0) ::close(fd);
    });
  }
  ~BlockedWriter() {
    // A reader of our own lets the open return.
    int fd = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    thread_.join();
    if (fd >= 0) ::close(fd);
  }
  BlockedWriter(const BlockedWriter&) = delete;
  BlockedWriter& operator=(const BlockedWriter&) = delete;

  // Whether the thread is asleep in its open, as the kernel reports it.
  bool InOpen() const {
    if (tid_ == 0) return false;
    const std::string task = "/proc/self/task/" + std::to_string(tid_);
    std::ifstream syscall(task + "/syscall"), stat(task + "/stat");
    long number = -1;
    std::string statLine;
    if (!(syscall >> number) || !std::getline(stat, statLine)) return false;
    const size_t end = statLine.rfind(')');
    return number == SYS_openat && end != std::string::npos && statLine.compare(end + 2, 1, "S") == 0;
  }
  bool Opened() const { return opened_; }

 private:
  std::string fifo_;
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> opened_{false};
  std::thread thread_;
};

}  // namespace

// A FIFO is refused without being opened: a writer waiting in its own open for a reader
// would be let go, and would write into a reader that is gone.
TEST(OpenForReading, AFifoIsRefusedAndItsWaitingWriterWaitsOn) {
  TempDir dir;
  sim::Fifo fifo((dir.path / "fifo").string());
  BlockedWriter writer(fifo.Path());
  const auto deadline = steady_clock::now() + seconds(10);
  while (!writer.InOpen() && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  ASSERT_TRUE(writer.InOpen());

  struct stat info {};
  EXPECT_EQ(platform::OpenForReading(fifo.Path(), info), -1);
  EXPECT_EQ(errno, platform::NotARegularFile);
  // An open of the FIFO would have let the writer go at once.
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_FALSE(writer.Opened());
  EXPECT_TRUE(writer.InOpen());
}

// A terminal is refused without being opened: an open raises the modem lines of a serial
// port, and the close that follows drops them. A pseudo-terminal's master sees the
// terminal hang up once it was opened and closed again.
TEST(OpenForReading, ATerminalIsRefusedWithoutAnOpen) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);
  pollfd line{master, POLLIN, 0};
  ASSERT_EQ(::poll(&line, 1, 0), 0);  // never opened: no hang-up

  struct stat info {};
  EXPECT_EQ(platform::OpenForReading(terminal, info), -1);
  EXPECT_EQ(errno, platform::NotARegularFile);
  line.revents = 0;
  EXPECT_EQ(::poll(&line, 1, 0), 0) << "revents " << line.revents;
  ::close(master);
}
