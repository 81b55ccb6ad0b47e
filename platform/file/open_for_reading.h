#pragma once
// Opening a file that is to be read whole.

#include <string>
#include <sys/stat.h>

namespace platform {

// Opens path read-only and close-on-exec without waiting in the open, which a FIFO
// nobody writes to (or a device) would make the caller do, and never as a controlling
// terminal. info is the open descriptor's own, so the file checked is the file read.
// A regular file's descriptor blocks again for its reads; anything else is for the
// caller to refuse. Returns -1 with errno when the open or fstat fails.
int OpenForReading(const std::string& path, struct stat& info);

}  // namespace platform
