#pragma once
// Replaces a file only by a complete new one: the new content goes into a temporary
// file beside it, is flushed to the disk and then renamed over the old name, so a
// failure at any step (a full disk, a missing folder, a crash) leaves the old file as
// it was.

#include <functional>
#include <string>

namespace platform {

enum class ReplaceResult {
  Replaced,
  FolderNotWritable,  // the folder refuses new files: the temporary could not be made
  Failed,
};

// write gets the temporary file's descriptor and returns false when it could not write
// everything; when it throws, the temporary is removed and the exception passes on.
// A symbolic link is followed, also one whose target does not exist yet: its target is
// replaced, the link stays; links the system would not follow to their end (a loop, a
// chain of over 40) are refused and stay as they are. The new file takes the old one's
// permissions, owner and group, as far as the saver may give them (a saver that is not
// root becomes the owner and keeps the group when it is one of its own groups; a group
// not kept gets no rights), or those of a newly created file; a mode that cannot be given
// fails the save. Until its mode is given, the new file of one replaced is open to its
// owner alone. A failure leaves why in reason, when one is given: the system's text for
// the error of the step that failed.
ReplaceResult ReplaceFile(const std::string& path, const std::function<bool(int fd)>& write,
                          std::string* reason = nullptr);

// The file a save to path replaces: path itself, or where its symbolic links lead.
std::string ReplacedFile(const std::string& path);

// Writes all of data to fd, across short writes and interruptions.
bool WriteAll(int fd, const char* data, size_t size);

}  // namespace platform
