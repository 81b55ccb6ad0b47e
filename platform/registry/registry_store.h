#pragma once
// The files behind the registry's roots. Readers take no lock: a root's file is only
// ever replaced whole by rename, so a reader sees one complete version. Writers hold an
// exclusive flock on the root's lock file from reading the file to renaming its successor
// into place, so no two changes (of any process or thread) interleave.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "registry_format.h"

namespace platform::reg {

enum class Root { ClassesRoot, CurrentUser, LocalMachine };

// "HKEY_CURRENT_USER" and so on: also the name of the root's file in the store.
const char* RootName(Root root);
std::string StoreFile(Root root);

// The root's keys as the file holds them now; no file gives an empty root.
int32_t ReadStore(Root root, Key& tree);

// Runs change on the root's keys read under the lock; when it reports a change and
// succeeds, the keys are written back before the lock is released. Keys whose file would
// be larger than MaxStoreFile are not written: ERROR_REGISTRY_QUOTA_LIMIT, and the root
// keeps its file.
int32_t ChangeStore(Root root, const std::function<int32_t(Key& tree, bool& changed)>& change);

// The largest root's file read or written. A store holds settings and class registrations,
// some kilobytes; far beyond that a file is no store, and its keys would take many times
// its size in memory.
inline constexpr size_t MaxStoreFile = 64u << 20;
// The largest saved key restored: a setup of thousands of seals is a few hundred kilobytes.
// Well below the store's limit, so that a restored key fits in a root that holds little
// else; one that would not is refused as any change would be.
inline constexpr size_t MaxSavedKeyFile = 16u << 20;

// Reads a whole regular file of at most limit bytes. Anything else is ERROR_BADDB, found
// before the file is read; what is no regular file is not even opened.
int32_t ReadWholeFile(const std::string& path, size_t limit, std::string& text);
// Writes a file that must not exist yet; a failed write leaves no file behind.
int32_t WriteNewFile(const std::string& path, const std::string& text);

}  // namespace platform::reg
