#pragma once
// Opening a file that is to be read whole.

#include <cerrno>
#include <cstddef>
#include <string>
#include <sys/stat.h>

namespace platform {

// errno of a path that leads to something that is there but is neither a regular file
// nor a folder (a folder gives EISDIR): a FIFO, a device, a socket.
inline constexpr int NotARegularFile = ENXIO;

// Opens the regular file at path read-only and close-on-exec, never as a controlling
// terminal. Anything else is refused by its type before it is opened: opening a tty
// raises its modem lines (and closing it drops them, which resets some devices), and
// opening a FIFO lets a writer waiting in its own open go on. The file checked is the
// file opened, also when the path is changed meanwhile, and info is its own. Returns -1
// with errno when the path is no regular file (EISDIR, NotARegularFile) or an open or
// the fstat fails; the open for reading goes through /proc, and without it gives ENOSYS.
int OpenForReading(const std::string& path, struct stat& info);

// Reads the whole regular file at path, of at most limit bytes, into text. Returns 0, or
// the errno of the failure: those of OpenForReading, and EFBIG for a larger file, found
// before it is read.
int ReadRegularFile(const std::string& path, size_t limit, std::string& text);

}  // namespace platform
