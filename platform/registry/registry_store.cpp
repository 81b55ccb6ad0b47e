#include "registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "open_for_reading.h"
#include "registry.h"

namespace platform {

std::string RegistryDirectory() {
  if (const char* d = std::getenv(RegistryDirVariable); d && *d) return d;
  // XDG asks to ignore a relative XDG_CONFIG_HOME.
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') return std::string(x) + "/zarn/registry";
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* pw = getpwuid(getuid());
    home = pw && pw->pw_dir ? pw->pw_dir : "/";
  }
  return std::string(home) + "/.config/zarn/registry";
}

namespace reg {

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Close() {
    int r = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return r;
  }

 private:
  int fd_;
};

int32_t FromErrno(int error, int32_t otherwise) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    default: return otherwise;
  }
}

// Each missing folder is made private to the user: the store holds the user's settings.
int32_t MakeDirectories(const std::string& dir) {
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at < dir.size() && dir[at] != '/') continue;
    std::string part = dir.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  return ERROR_SUCCESS;
}

int32_t WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FromErrno(errno, ERROR_WRITE_FAULT);
    done += size_t(n);
  }
  return ::fsync(fd) == 0 ? ERROR_SUCCESS : FromErrno(errno, ERROR_WRITE_FAULT);
}

// A temporary file found while holding the lock belongs to a writer that died.
void RemoveStaleTemporaries(const std::string& dir, Root root) {
  std::string prefix = std::string(RootName(root)) + ".tmp.";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0) std::filesystem::remove(entry.path(), ec);
  }
}

int32_t Replace(const std::string& dir, Root root, const std::string& text) {
  RemoveStaleTemporaries(dir, root);
  std::string file = StoreFile(root);
  std::string temp = dir + "/" + RootName(root) + ".tmp.XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) return FromErrno(errno, ERROR_WRITE_FAULT);
  int32_t result = WriteAll(fd.get(), text);
  if (fd.Close() != 0 && result == ERROR_SUCCESS) result = FromErrno(errno, ERROR_WRITE_FAULT);
  if (result == ERROR_SUCCESS && ::rename(temp.c_str(), file.c_str()) != 0)
    result = FromErrno(errno, ERROR_WRITE_FAULT);
  if (result != ERROR_SUCCESS) {
    ::unlink(temp.c_str());
    return result;
  }
  // The rename itself must reach the disk before the next writer reads.
  Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  return ERROR_SUCCESS;
}

}  // namespace

const char* RootName(Root root) {
  switch (root) {
    case Root::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case Root::CurrentUser: return "HKEY_CURRENT_USER";
    case Root::LocalMachine: return "HKEY_LOCAL_MACHINE";
  }
  return "";
}

std::string StoreFile(Root root) { return RegistryDirectory() + "/" + RootName(root); }

int32_t ReadWholeFile(const std::string& path, size_t limit, std::string& text) {
  switch (int error = ReadRegularFile(path, limit, text)) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EISDIR:
    case NotARegularFile:
    case EFBIG: return ERROR_BADDB;
    default: return FromErrno(error, ERROR_READ_FAULT);
  }
}

int32_t ReadStore(Root root, Key& tree) {
  tree = Key();
  std::string text;
  int32_t result = ReadWholeFile(StoreFile(root), MaxStoreFile, text);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  // A damaged file is refused rather than overwritten: it may be all the user has.
  return Parse(text, FileKind::Store, tree) ? ERROR_SUCCESS : ERROR_BADDB;
}

int32_t ChangeStore(Root root, const std::function<int32_t(Key& tree, bool& changed)>& change) {
  std::string dir = RegistryDirectory();
  if (int32_t result = MakeDirectories(dir)) return result;
  std::string lockFile = dir + "/" + RootName(root) + ".lock";
  Fd lock(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) return FromErrno(errno, ERROR_WRITE_FAULT);
  while (::flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR) return ERROR_WRITE_FAULT;

  Key tree;
  int32_t result = ReadStore(root, tree);
  bool changed = false;
  if (result == ERROR_SUCCESS) result = change(tree, changed);
  if (result == ERROR_SUCCESS && changed) {
    const std::string text = Format(tree, FileKind::Store);
    // Written, the root would be refused as damaged by every later read and change.
    result = text.size() > MaxStoreFile ? ERROR_REGISTRY_QUOTA_LIMIT : Replace(dir, root, text);
  }
  return result;  // closing the lock file releases the lock
}

int32_t WriteNewFile(const std::string& path, const std::string& text) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (fd.get() < 0) return FromErrno(errno, ERROR_WRITE_FAULT);
  int32_t result = WriteAll(fd.get(), text);
  if (fd.Close() != 0 && result == ERROR_SUCCESS) result = FromErrno(errno, ERROR_WRITE_FAULT);
  if (result != ERROR_SUCCESS) ::unlink(path.c_str());
  return result;
}

}  // namespace reg
}  // namespace platform
