#include "replace_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The name the new content must end up under: a link's target, so the link survives.
fs::path FinalPath(const fs::path& path) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    fs::path target = fs::canonical(path, ec);
    if (!ec) return target;
  }
  return path;
}

// Created with O_EXCL and mode 0666, so the umask applies as for any new file.
int CreateTemporary(const fs::path& folder, const std::string& name, std::string& created) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", unsigned(random()));
    fs::path candidate = folder / ("." + name + "." + suffix + ".tmp");
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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

bool ReplaceFile(const std::string& path, const std::function<bool(int fd)>& write) {
  if (path.empty()) return false;
  const fs::path target = FinalPath(path);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  std::string temporary;
  int fd = CreateTemporary(folder, target.filename().string(), temporary);
  if (fd < 0) return false;

  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) {
    if (!S_ISREG(old.st_mode)) {
      ::close(fd);
      ::unlink(temporary.c_str());
      return false;
    }
    ::fchmod(fd, old.st_mode & 07777);
    // Best effort: another owner's file becomes ours, with its permissions.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) errno = 0;
  }
  bool ok = write(fd) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}
