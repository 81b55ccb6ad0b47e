#include "replace_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform {

namespace {

// As many links as the system follows in one path.
constexpr int MaxLinkHops = 40;

// The name the new content must end up under: a link's target, so the link survives,
// even when the target does not exist yet. A chain that still ends in a link after as
// many links as the system follows (a loop, too long a chain) is an error.
fs::path FinalPath(const fs::path& path, std::error_code& error) {
  fs::path current = path;
  std::error_code ec;
  for (int hop = 0; fs::is_symlink(fs::symlink_status(current, ec)); ++hop) {
    if (hop == MaxLinkHops) {
      error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
      return {};
    }
    fs::path next = fs::read_symlink(current, error);
    if (error) return {};
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return current;
}

// The old file's owner and group for the new one, as far as the saver may give them: a
// saver that is not root still keeps the group when it is one of the saver's groups.
// Returns whether the new file has the old one's group.
bool KeepOwner(int fd, const struct stat& old) {
  return ::fchown(fd, old.st_uid, old.st_gid) == 0 || ::fchown(fd, uid_t(-1), old.st_gid) == 0;
}

// The temporary file until it has been renamed into place.
class Temporary {
 public:
  Temporary(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~Temporary() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  void Kept() { path_.clear(); }

 private:
  int fd_;
  std::string path_;
};

// Created with O_EXCL and mode, from which the umask takes as for any new file.
int CreateTemporary(const fs::path& folder, const std::string& name, mode_t mode, std::string& created) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", unsigned(random()));
    fs::path candidate = folder / ("." + name + "." + suffix + ".tmp");
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      created = candidate;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

void SyncFolder(const fs::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // the rename is done; a failure here cannot be undone any more
  ::close(fd);
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

std::string ReplacedFile(const std::string& path) {
  std::error_code error;
  const fs::path target = FinalPath(path, error);
  return error ? path : target.string();
}

ReplaceResult ReplaceFile(const std::string& path, const std::function<bool(int fd)>& write, std::string* reason) {
  const auto failed = [reason](ReplaceResult result, const char* why) {
    if (reason) *reason = why;
    return result;
  };
  if (path.empty()) return failed(ReplaceResult::Failed, std::strerror(ENOENT));
  std::error_code linkError;
  const fs::path target = FinalPath(path, linkError);
  // Not the last link replaced by a file instead: the chain would be broken for good.
  if (linkError) return failed(ReplaceResult::Failed, std::strerror(linkError.value()));
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  struct stat old {};
  const bool replacing = ::stat(target.c_str(), &old) == 0;
  if (replacing && !S_ISREG(old.st_mode))
    return failed(ReplaceResult::Failed, S_ISDIR(old.st_mode) ? std::strerror(EISDIR) : "Not a regular file");
  // Owner-only until the old file's mode is given: the new content may be as private as
  // the old. A new file has the mode of any other from the start.
  std::string name;
  int fd = CreateTemporary(folder, target.filename().string(), replacing ? 0600 : 0666, name);
  if (fd < 0)
    return failed(errno == EACCES || errno == EPERM || errno == EROFS ? ReplaceResult::FolderNotWritable
                                                                      : ReplaceResult::Failed,
                  std::strerror(errno));
  Temporary temporary(fd, name);

  if (replacing) {
    mode_t mode = old.st_mode & 07777;
    // The old group's rights were given to that group, not to the one the file gets now.
    if (!KeepOwner(fd, old)) mode &= ~mode_t(S_IRWXG | S_ISGID);
    // After the owner: a change of owner or group drops the set-ID bits.
    if (::fchmod(fd, mode) != 0) return failed(ReplaceResult::Failed, std::strerror(errno));
  }
  errno = 0;
  int error = 0;
  if (!write(fd) || ::fsync(fd) != 0) error = errno ? errno : EIO;  // a writer that gave up without saying why
  if (!temporary.Close() && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.Path().c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) return failed(ReplaceResult::Failed, std::strerror(error));
  temporary.Kept();
  SyncFolder(folder);
  return ReplaceResult::Replaced;
}

}  // namespace platform
