#include "registry.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "../serial/port_map.h"
#include "registry_format.h"
#include "registry_store.h"
#include "replace_file.h"

using platform::reg::FileKind;
using platform::reg::Key;
using platform::reg::Root;
using platform::reg::Value;

namespace {

constexpr size_t MaxKeyNameLength = 255;

// A handle names its key by root and path, not by object: every call reads the store
// afresh, so a handle sees what other programs wrote since it was opened.
struct Handle {
  Root root;
  std::vector<std::string> path;
  REGSAM access;
};

class HandleTable {
 public:
  HKEY Add(Handle handle) {
    std::lock_guard lock(mutex_);
    uintptr_t id = next_++;
    handles_.emplace(id, std::move(handle));
    return reinterpret_cast<HKEY>(id);
  }
  std::optional<Handle> Get(HKEY key) {
    if (auto root = RootOf(key)) return Handle{*root, {}, KEY_ALL_ACCESS};
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(key));
    if (it == handles_.end()) return std::nullopt;
    return it->second;
  }
  bool Remove(HKEY key) {
    std::lock_guard lock(mutex_);
    return handles_.erase(reinterpret_cast<uintptr_t>(key)) > 0;
  }
  static std::optional<Root> RootOf(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return Root::ClassesRoot;
    if (key == HKEY_CURRENT_USER) return Root::CurrentUser;
    if (key == HKEY_LOCAL_MACHINE) return Root::LocalMachine;
    return std::nullopt;
  }

 private:
  std::mutex mutex_;
  uintptr_t next_ = 1;
  std::unordered_map<uintptr_t, Handle> handles_;
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && platform::reg::Fold(a) == platform::reg::Fold(b);
}

LSTATUS SplitPath(const char* subKey, std::vector<std::string>& segments) {
  segments.clear();
  if (!subKey || !*subKey) return ERROR_SUCCESS;
  std::string_view path(subKey);
  if (path.back() == '\\') path.remove_suffix(1);
  while (true) {
    size_t sep = path.find('\\');
    std::string_view name = path.substr(0, sep);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (name.size() > MaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    segments.emplace_back(name);
    if (sep == std::string_view::npos) return ERROR_SUCCESS;
    path.remove_prefix(sep + 1);
  }
}

std::vector<std::string> Join(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<std::string> joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

// The synthesised, read-only part of the local machine: the present serial ports.
bool IsHardwarePath(Root root, const std::vector<std::string>& path) {
  return root == Root::LocalMachine && !path.empty() && SameName(path[0], "HARDWARE");
}

void AddHardware(Key& machine) {
  machine.Erase("HARDWARE");  // never stored; whatever a file holds there stays unseen
  Key& serialComm = machine.Make("HARDWARE").Make("DEVICEMAP").Make("SERIALCOMM");
  unsigned virtualPorts = 0, otherPorts = 0;
  for (const auto& port : platform::PortMap::Load().PresentPorts()) {
    std::string name = port.virtualPort ? "\\Device\\VCP" + std::to_string(virtualPorts++)
                                        : "\\Device\\Serial" + std::to_string(otherPorts++);
    serialComm.values.push_back({name, REG_SZ, "COM" + std::to_string(port.number)});
  }
}

// The root's keys as they are now, with the synthesised part where the root has it.
LSTATUS Snapshot(Root root, const std::vector<std::string>& path, Key& tree) {
  if (IsHardwarePath(root, path)) {
    tree = Key();  // no need to read the store for the ports
  } else if (LSTATUS result = platform::reg::ReadStore(root, tree)) {
    return result;
  }
  if (root == Root::LocalMachine) AddHardware(tree);
  return ERROR_SUCCESS;
}

Key* Walk(Key& from, const std::vector<std::string>& path, size_t begin = 0, size_t end = SIZE_MAX) {
  Key* key = &from;
  for (size_t i = begin; key && i < path.size() && i < end; ++i) key = key->Find(path[i]);
  return key;
}

// Runs f on the handle's key in a fresh snapshot.
template <typename F>
LSTATUS ReadKey(HKEY hkey, REGSAM need, F f) {
  auto handle = Handles().Get(hkey);
  if (!handle) return ERROR_INVALID_HANDLE;
  if ((handle->access & need) != need) return ERROR_ACCESS_DENIED;
  Key tree;
  if (LSTATUS result = Snapshot(handle->root, handle->path, tree)) return result;
  Key* key = Walk(tree, handle->path);
  if (!key) return ERROR_KEY_DELETED;
  return f(*key);
}

// Runs f on the handle's key under the store's lock; f reports whether it changed anything.
template <typename F>
LSTATUS ChangeKey(const Handle& handle, F f) {
  if (IsHardwarePath(handle.root, handle.path)) return ERROR_ACCESS_DENIED;
  return platform::reg::ChangeStore(handle.root, [&](Key& tree, bool& changed) -> LSTATUS {
    Key* key = Walk(tree, handle.path);
    if (!key) return ERROR_KEY_DELETED;
    return f(*key, changed);
  });
}

std::string StoredBytes(const Value& value) {
  return value.type == REG_SZ ? value.data + '\0' : value.data;
}

LSTATUS CopyData(const Value& value, DWORD* type, BYTE* data, DWORD* dataSize) {
  if (type) *type = value.type;
  if (!dataSize) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  std::string bytes = StoredBytes(value);
  DWORD room = *dataSize;
  *dataSize = DWORD(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (room < bytes.size()) return ERROR_MORE_DATA;
  std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

LSTATUS CopyName(const std::string& name, char* buffer, DWORD* length) {
  if (!buffer || !length) return ERROR_INVALID_PARAMETER;
  if (*length < name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *length = DWORD(name.size());
  return ERROR_SUCCESS;
}

void EmptyClass(char* keyClass, DWORD* classLength) {
  if (keyClass && classLength && *classLength > 0) *keyClass = '\0';
  if (classLength) *classLength = 0;
}

}  // namespace

LSTATUS RegOpenKeyEx(HKEY hkey, const char* subKey, DWORD, REGSAM access, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  auto handle = Handles().Get(hkey);
  if (!handle) return ERROR_INVALID_HANDLE;
  std::vector<std::string> segments;
  if (LSTATUS r = SplitPath(subKey, segments)) return r;
  std::vector<std::string> path = Join(handle->path, segments);
  if (IsHardwarePath(handle->root, path) && (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)))
    return ERROR_ACCESS_DENIED;
  Key tree;
  if (LSTATUS r = Snapshot(handle->root, path, tree)) return r;
  Key* key = Walk(tree, path, 0, handle->path.size());
  if (!key) return ERROR_KEY_DELETED;
  for (size_t i = handle->path.size(); i < path.size(); ++i) {
    key = key->Find(path[i]);
    if (!key) return ERROR_FILE_NOT_FOUND;
    path[i] = key->name;  // the case it was made with
  }
  *result = Handles().Add({handle->root, std::move(path), access});
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyEx(HKEY hkey, const char* subKey, DWORD, char*, DWORD, REGSAM access, const void*,
                       HKEY* result, DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  auto handle = Handles().Get(hkey);
  if (!handle) return ERROR_INVALID_HANDLE;
  std::vector<std::string> segments;
  if (LSTATUS r = SplitPath(subKey, segments)) return r;
  std::vector<std::string> path = Join(handle->path, segments);
  if (IsHardwarePath(handle->root, path)) return ERROR_ACCESS_DENIED;
  bool madeAny = false;
  LSTATUS r = ChangeKey(*handle, [&](Key& key, bool& changed) -> LSTATUS {
    Key* at = &key;
    for (size_t i = handle->path.size(); i < path.size(); ++i) {
      if (Key* existing = at->Find(path[i])) {
        at = existing;
      } else {
        if (!(handle->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        at = &at->Make(path[i]);
        changed = madeAny = true;
      }
      path[i] = at->name;
    }
    return ERROR_SUCCESS;
  });
  if (r) return r;
  if (disposition) *disposition = madeAny ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = Handles().Add({handle->root, std::move(path), access});
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hkey) {
  if (HandleTable::RootOf(hkey)) return ERROR_SUCCESS;
  return Handles().Remove(hkey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegQueryValueEx(HKEY hkey, const char* valueName, DWORD*, DWORD* type, BYTE* data, DWORD* dataSize) {
  return ReadKey(hkey, KEY_QUERY_VALUE, [&](const Key& key) {
    const Value* value = key.FindValue(valueName ? valueName : "");
    return value ? CopyData(*value, type, data, dataSize) : ERROR_FILE_NOT_FOUND;
  });
}

LSTATUS RegSetValueEx(HKEY hkey, const char* valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
  if (!data && dataSize) return ERROR_INVALID_PARAMETER;
  if (type == REG_DWORD && dataSize != 4) return ERROR_INVALID_PARAMETER;
  auto handle = Handles().Get(hkey);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (!(handle->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string bytes(reinterpret_cast<const char*>(data), data ? dataSize : 0);
  if (type == REG_SZ && !bytes.empty() && bytes.back() == '\0') bytes.pop_back();
  std::string name = valueName ? valueName : "";
  return ChangeKey(*handle, [&](Key& key, bool& changed) {
    if (Value* value = key.FindValue(name)) {
      changed = value->type != type || value->data != bytes;
      value->type = type;
      value->data = std::move(bytes);
    } else {
      key.values.push_back({name, type, std::move(bytes)});
      changed = true;
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValue(HKEY hkey, const char* valueName) {
  auto handle = Handles().Get(hkey);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (!(handle->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string folded = platform::reg::Fold(valueName ? valueName : "");
  return ChangeKey(*handle, [&](Key& key, bool& changed) {
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
      if (platform::reg::Fold(it->name) == folded) {
        key.values.erase(it);
        changed = true;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

LSTATUS RegEnumKeyEx(HKEY hkey, DWORD index, char* name, DWORD* nameLength, DWORD*, char* keyClass,
                     DWORD* classLength, void*) {
  return ReadKey(hkey, KEY_ENUMERATE_SUB_KEYS, [&](const Key& key) {
    if (index >= key.subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key.subkeys.begin();
    std::advance(it, index);
    LSTATUS r = CopyName(it->second->name, name, nameLength);
    if (r == ERROR_SUCCESS) EmptyClass(keyClass, classLength);
    return r;
  });
}

LSTATUS RegEnumValue(HKEY hkey, DWORD index, char* valueName, DWORD* valueNameLength, DWORD*, DWORD* type,
                     BYTE* data, DWORD* dataSize) {
  return ReadKey(hkey, KEY_QUERY_VALUE, [&](const Key& key) {
    if (index >= key.values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& value = key.values[index];
    LSTATUS r = CopyName(value.name, valueName, valueNameLength);
    if (r != ERROR_SUCCESS) return r;
    return CopyData(value, type, data, dataSize);
  });
}

LSTATUS RegQueryInfoKey(HKEY hkey, char* keyClass, DWORD* classLength, DWORD*, DWORD* subKeys,
                        DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                        DWORD* maxValueNameLength, DWORD* maxValueLength, DWORD* securityDescriptor,
                        void*) {
  return ReadKey(hkey, KEY_QUERY_VALUE, [&](const Key& key) {
    size_t maxSub = 0, maxName = 0, maxData = 0;
    for (const auto& [folded, sub] : key.subkeys) maxSub = std::max(maxSub, sub->name.size());
    for (const auto& v : key.values) {
      maxName = std::max(maxName, v.name.size());
      maxData = std::max(maxData, StoredBytes(v).size());
    }
    EmptyClass(keyClass, classLength);
    if (subKeys) *subKeys = DWORD(key.subkeys.size());
    if (maxSubKeyLength) *maxSubKeyLength = DWORD(maxSub);
    if (maxClassLength) *maxClassLength = 0;
    if (values) *values = DWORD(key.values.size());
    if (maxValueNameLength) *maxValueNameLength = DWORD(maxName);
    if (maxValueLength) *maxValueLength = DWORD(maxData);
    if (securityDescriptor) *securityDescriptor = 0;
    return ERROR_SUCCESS;
  });
}

namespace {

// Deletes the key at the handle's path plus segments; whole says whether subkeys may go with it.
LSTATUS DeleteKeyAt(HKEY hkey, const char* subKey, bool whole) {
  auto handle = Handles().Get(hkey);
  if (!handle) return ERROR_INVALID_HANDLE;
  std::vector<std::string> segments;
  if (LSTATUS r = SplitPath(subKey, segments)) return r;
  std::vector<std::string> path = Join(handle->path, segments);
  if (path.empty() || IsHardwarePath(handle->root, path)) return ERROR_ACCESS_DENIED;  // a root stays
  if (segments.empty()) {
    // Deleting the handle's own key: its parent is the key to change.
    handle->path.pop_back();
    segments.push_back(path.back());
  }
  return ChangeKey(*handle, [&](Key& key, bool& changed) {
    Key* parent = Walk(key, segments, 0, segments.size() - 1);
    Key* target = parent ? parent->Find(segments.back()) : nullptr;
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (!whole && !target->subkeys.empty()) return ERROR_ACCESS_DENIED;
    parent->Erase(segments.back());
    changed = true;
    return ERROR_SUCCESS;
  });
}

}  // namespace

LSTATUS RegDeleteKey(HKEY hkey, const char* subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  return DeleteKeyAt(hkey, subKey, false);
}

LSTATUS RegDeleteTree(HKEY hkey, const char* subKey) {
  if (subKey) return DeleteKeyAt(hkey, subKey, true);
  auto handle = Handles().Get(hkey);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (!(handle->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return ChangeKey(*handle, [&](Key& key, bool& changed) {
    changed = !key.values.empty() || !key.subkeys.empty();
    key.values.clear();
    key.subkeys.clear();
    return ERROR_SUCCESS;
  });
}

namespace {

LSTATUS SavedKeyText(HKEY hkey, std::string& text) {
  return ReadKey(hkey, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, [&](const Key& key) {
    text = platform::reg::Format(key, FileKind::SavedKey);
    return ERROR_SUCCESS;
  });
}

}  // namespace

LSTATUS RegSaveKey(HKEY hkey, const char* file, const void*) {
  if (!file || !*file) return ERROR_INVALID_PARAMETER;
  std::string text;
  LSTATUS r = SavedKeyText(hkey, text);
  return r ? r : platform::reg::WriteNewFile(file, text);
}

LSTATUS RegRestoreKey(HKEY hkey, const char* file, DWORD) {
  if (!file || !*file) return ERROR_INVALID_PARAMETER;
  auto handle = Handles().Get(hkey);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (!(handle->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string text;
  if (LSTATUS r = platform::reg::ReadWholeFile(file, platform::reg::MaxSavedKeyFile, text)) return r;
  Key saved;
  if (!platform::reg::Parse(text, FileKind::SavedKey, saved)) return ERROR_BADDB;
  return ChangeKey(*handle, [&](Key& key, bool& changed) {
    key.values = std::move(saved.values);
    key.subkeys = std::move(saved.subkeys);
    changed = true;
    return ERROR_SUCCESS;
  });
}

namespace platform {

LSTATUS SaveKeyReplacing(HKEY key, const std::string& file) {
  if (file.empty()) return ERROR_INVALID_PARAMETER;
  std::string text;
  if (LSTATUS r = SavedKeyText(key, text)) return r;
  switch (ReplaceFile(file, [&](int fd) { return WriteAll(fd, text.data(), text.size()); })) {
    case ReplaceResult::Replaced: return ERROR_SUCCESS;
    case ReplaceResult::FolderNotWritable: return ERROR_ACCESS_DENIED;
    case ReplaceResult::Failed: break;
  }
  return ERROR_WRITE_FAULT;
}

}  // namespace platform
