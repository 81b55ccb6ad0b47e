// Opening files to read them whole and replacing files by complete new ones, against the
// kernel's own FIFOs, pseudo-terminals, links and users.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

#include "file_traps.h"
#include "open_for_reading.h"
#include "replace_file.h"

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

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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

// A chain of links is followed as far as the system follows one, and the file at its end
// is replaced. A chain that still ends in a link (too long, or a loop) is refused: the
// last link replaced by a file would break the chain for good.
TEST(ReplaceFile, AChainOfLinksIsFollowedAsFarAsTheSystemFollowsOne) {
  struct Case {
    const char* what;
    int links;
    bool loop;
    bool replaced;
  } cases[] = {
      {"40 links", 40, false, true},
      {"41 links", 41, false, false},
      {"a loop of two", 2, true, false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const auto link = [&](int n) { return dir.path / ("link" + std::to_string(n)); };
    for (int n = 0; n < c.links; ++n)
      fs::create_symlink(n + 1 < c.links ? link(n + 1).filename() : c.loop ? link(0).filename() : "file", link(n));
    std::ofstream(dir.path / "file") << "old";
    std::string reason;
    const platform::ReplaceResult result =
        platform::ReplaceFile(link(0), [](int fd) { return platform::WriteAll(fd, "new", 3); }, &reason);
    EXPECT_EQ(result, c.replaced ? platform::ReplaceResult::Replaced : platform::ReplaceResult::Failed) << c.what;
    EXPECT_EQ(reason, c.replaced ? "" : "Too many levels of symbolic links") << c.what;
    EXPECT_EQ(ReadFile(dir.path / "file"), c.replaced ? "new" : "old") << c.what;
    for (int n = 0; n < c.links; ++n) EXPECT_TRUE(fs::is_symlink(link(n))) << c.what << ": link " << n;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), c.links + 1) << c.what;  // no temporary left
  }
}

// The new file keeps the old one's owner and group as far as the saver may give them: a
// saver that does not own the file still keeps its group when it is one of the saver's.
// Each save runs in a child process that has become the saver, an unprivileged user.
TEST(ReplaceFile, TheOldGroupStaysWhereTheSaverMayGiveIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "becoming another user takes root";
  constexpr uid_t Owner = 61000, Saver = 61001;
  constexpr gid_t FileGroup = 61100, SaverGroup = 61101;
  struct Case {
    const char* what;
    bool becomeSaver;
    std::vector<gid_t> groups;  // the saver's groups besides its own
    uid_t owner;
    gid_t group;
  } cases[] = {
      {"root keeps owner and group", false, {}, Owner, FileGroup},
      {"a saver of the file's group keeps the group", true, {FileGroup}, Saver, FileGroup},
      {"a saver of other groups gives its own", true, {}, Saver, SaverGroup},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ::chmod(dir.path.c_str(), 0777);
    const fs::path file = dir.path / "settings";
    std::ofstream(file) << "old";
    ASSERT_EQ(::chown(file.c_str(), Owner, FileGroup), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.becomeSaver && (::setgroups(c.groups.size(), c.groups.data()) != 0 || ::setgid(SaverGroup) != 0 ||
                            ::setuid(Saver) != 0))
        ::_exit(2);
      const auto result = platform::ReplaceFile(file, [](int fd) { return platform::WriteAll(fd, "new", 3); });
      ::_exit(result == platform::ReplaceResult::Replaced ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << ": status " << status;
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(ReadFile(file), "new") << c.what;
    EXPECT_EQ(st.st_uid, c.owner) << c.what;
    EXPECT_EQ(st.st_gid, c.group) << c.what;
    EXPECT_EQ(st.st_mode & 07777, 0664u) << c.what;
  }
}
