#pragma once
// Replaces a file only by a complete new one: the new content goes into a temporary
// file beside it, is flushed to the disk and then renamed over the old name, so a
// failure at any step (a full disk, a missing folder, a crash) leaves the old file as
// it was.

#include <functional>
#include <string>

// write gets the temporary file's descriptor and returns false when it could not write
// everything. A symbolic link is followed: its target is replaced, the link stays.
// The new file takes the old one's permissions, or those of a newly created file.
bool ReplaceFile(const std::string& path, const std::function<bool(int fd)>& write);

// Writes all of data to fd, across short writes and interruptions.
bool WriteAll(int fd, const char* data, size_t size);
