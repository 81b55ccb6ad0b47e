// Opening files to read them whole and replacing files by complete new ones, against the
// kernel's own FIFOs, pseudo-terminals, links and users.
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

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

// Notes the mode of every file in a folder at each open, the open of a file being
// created as well: the kernel holds each open until a listener for open permissions
// has let it go.
class OpenWatch {
 public:
  explicit OpenWatch(const fs::path& folder) {
    fan_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
    if (fan_ < 0) return;
    if (::fanotify_mark(fan_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD, folder.c_str()) != 0) {
      ::close(fan_);
      fan_ = -1;
      return;
    }
    thread_ = std::thread([this] { Listen(); });
  }
  ~OpenWatch() { Stop(); }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;

  bool Watching() const { return fan_ >= 0; }
  // The modes seen, once all opens are let go and no more are watched.
  std::vector<mode_t> Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fan_ >= 0) ::close(fan_);
    fan_ = -1;
    return modes_;
  }

 private:
  void Listen() {
    alignas(fanotify_event_metadata) char buffer[4096];
    while (!stop_) {
      pollfd ready{fan_, POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      ssize_t size = ::read(fan_, buffer, sizeof buffer);
      for (auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer); FAN_EVENT_OK(event, size);
           event = FAN_EVENT_NEXT(event, size)) {
        if (event->fd < 0) continue;
        struct stat st {};
        if (::fstat(event->fd, &st) == 0) modes_.push_back(st.st_mode & 07777);
        fanotify_response allow{event->fd, FAN_ALLOW};
        (void)!::write(fan_, &allow, sizeof allow);
        ::close(event->fd);
      }
    }
  }

  int fan_ = -1;
  std::atomic<bool> stop_{false};
  std::vector<mode_t> modes_;
  std::thread thread_;
};

// Takes a capability from the calling process's effective set.
bool DropCapability(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  data[capability / 32].effective &= ~(1u << (capability % 32));
  return ::syscall(SYS_capset, &header, data) == 0;
}

// The exit code of a child process that runs body, or -1 when it did not exit.
int InChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

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

// Without /proc the file could be opened again only through its path, and so whatever
// the path was swapped for meanwhile: it is refused with an error of its own, not taken
// for a file that is not there (a store taken for missing would be written anew).
TEST(OpenForReading, WithoutProcAFileIsRefusedButNotMissing) {
  if (::geteuid() != 0) GTEST_SKIP() << "unmounting /proc takes root";
  TempDir dir;
  std::ofstream(dir.path / "file") << "text";
  struct Case {
    const char* what;
    fs::path path;
    int error;
  } cases[] = {
      {"a file", dir.path / "file", ENOSYS},
      {"no file", dir.path / "none", ENOENT},
  };
  for (const Case& c : cases) {
    const int status = InChild([&] {
      if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::umount2("/proc", MNT_DETACH) != 0)
        return 255;
      struct stat info {};
      return platform::OpenForReading(c.path, info) == -1 ? errno : 254;
    });
    EXPECT_EQ(status, c.error) << c.what;
  }
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
// A group not kept gets none of the old group's rights, others keep theirs. Each save
// runs in a child process that has become the saver, an unprivileged user.
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
    mode_t mode;
  } cases[] = {
      {"root keeps owner and group", false, {}, Owner, FileGroup, 0664},
      {"a saver of the file's group keeps the group", true, {FileGroup}, Saver, FileGroup, 0664},
      {"a saver of other groups gives its own, without rights", true, {}, Saver, SaverGroup, 0604},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ::chmod(dir.path.c_str(), 0777);
    const fs::path file = dir.path / "settings";
    std::ofstream(file) << "old";
    ASSERT_EQ(::chown(file.c_str(), Owner, FileGroup), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
    const int status = InChild([&] {
      if (c.becomeSaver && (::setgroups(c.groups.size(), c.groups.data()) != 0 || ::setgid(SaverGroup) != 0 ||
                            ::setuid(Saver) != 0))
        return 2;
      const auto result = platform::ReplaceFile(file, [](int fd) { return platform::WriteAll(fd, "new", 3); });
      return result == platform::ReplaceResult::Replaced ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << c.what;
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(ReadFile(file), "new") << c.what;
    EXPECT_EQ(st.st_uid, c.owner) << c.what;
    EXPECT_EQ(st.st_gid, c.group) << c.what;
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.what << std::oct << ": mode " << (st.st_mode & 07777);
  }
}

// The new content of a file only its owner may read is never open to others, not even for
// the moment between the temporary's creation and its getting the old file's mode.
TEST(ReplaceFile, TheNewFileOfAPrivateOneIsOwnerOnlyFromItsCreation) {
  TempDir dir;
  const fs::path file = dir.path / "key";
  std::ofstream(file) << "old";
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  const mode_t umask = ::umask(022);  // the usual one, which lets others read new files
  OpenWatch watch(dir.path);
  if (!watch.Watching()) {
    ::umask(umask);
    GTEST_SKIP() << "watching opens takes fanotify's permission events and CAP_SYS_ADMIN";
  }
  const auto result = platform::ReplaceFile(file, [](int fd) { return platform::WriteAll(fd, "new", 3); });
  const std::vector<mode_t> modes = watch.Stop();
  ::umask(umask);
  EXPECT_EQ(result, platform::ReplaceResult::Replaced);
  EXPECT_EQ(ReadFile(file), "new");
  ASSERT_FALSE(modes.empty()) << "the temporary's creation was not seen";
  for (mode_t mode : modes) EXPECT_EQ(mode & 077, 0u) << std::oct << "mode " << mode;
}

// A saver that may give the old owner but then not the old mode (root without
// CAP_FOWNER, as a service may run) fails the save: the new file would stay open to those
// the old one was closed to.
TEST(ReplaceFile, AModeThatCannotBeGivenFailsTheSave) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file away takes root";
  constexpr uid_t Owner = 61000;
  TempDir dir;
  const fs::path file = dir.path / "key";
  std::ofstream(file) << "old";
  ASSERT_EQ(::chown(file.c_str(), Owner, Owner), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  const int status = InChild([&] {
    if (!DropCapability(CAP_FOWNER)) return 2;
    ::umask(022);
    std::string reason;
    const auto result = platform::ReplaceFile(file, [](int fd) { return platform::WriteAll(fd, "new", 3); }, &reason);
    if (result == platform::ReplaceResult::Replaced) return 1;
    return reason == std::strerror(EPERM) ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(st.st_mode & 07777, 0600u) << std::oct << "mode " << (st.st_mode & 07777);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);  // no temporary left
}
