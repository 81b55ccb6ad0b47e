#include <string_view>

#include "registry.h"

namespace platform {

Registry::Registry(HKEY root) : root_(root) {}

Registry::~Registry() { CloseKey(); }

void Registry::SetRootKey(HKEY root) {
  CloseKey();
  root_ = root;
}

bool Registry::Done(LSTATUS result) {
  lastError_ = result;
  return result == ERROR_SUCCESS;
}

std::string Registry::Resolve(const std::string& path) const {
  std::string_view rest(path);
  bool absolute = !rest.empty() && rest.front() == '\\';
  while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  std::string full = absolute || !current_ ? std::string() : path_;
  if (!full.empty() && !rest.empty()) full += '\\';
  full += rest;
  return full;
}

bool Registry::OpenKey(const std::string& path, bool create) {
  std::string full = Resolve(path);
  HKEY key = nullptr;
  LSTATUS result = create ? RegCreateKeyEx(root_, full.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr)
                          : RegOpenKeyEx(root_, full.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (result != ERROR_SUCCESS) return Done(result);
  CloseKey();
  current_ = key;
  path_ = std::move(full);
  return Done(result);
}

bool Registry::OpenKeyReadOnly(const std::string& path) {
  std::string full = Resolve(path);
  HKEY key = nullptr;
  if (LSTATUS result = RegOpenKeyEx(root_, full.c_str(), 0, KEY_READ, &key)) return Done(result);
  CloseKey();
  current_ = key;
  path_ = std::move(full);
  return Done(ERROR_SUCCESS);
}

void Registry::CloseKey() {
  if (current_) RegCloseKey(current_);
  current_ = nullptr;
  path_.clear();
}

bool Registry::KeyExists(const std::string& path) {
  HKEY key = nullptr;
  LSTATUS result = RegOpenKeyEx(root_, Resolve(path).c_str(), 0, KEY_READ, &key);
  if (result == ERROR_SUCCESS) RegCloseKey(key);
  return Done(result);
}

bool Registry::Query(const std::string& name, DWORD& type, std::string& data) {
  HKEY base = Base();
  LSTATUS result;
  do {  // again when the value grew between the two calls
    DWORD size = 0;
    result = RegQueryValueEx(base, name.c_str(), nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) break;
    data.resize(size);
    result = RegQueryValueEx(base, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    data.resize(size);
  } while (result == ERROR_MORE_DATA);
  if (result == ERROR_SUCCESS && type == REG_SZ && !data.empty()) data.pop_back();
  return Done(result);
}

bool Registry::Set(const std::string& name, DWORD type, const void* data, size_t size) {
  HKEY base = Base();
  return Done(RegSetValueEx(base, name.c_str(), 0, type, static_cast<const BYTE*>(data), DWORD(size)));
}

bool Registry::ValueExists(const std::string& name) {
  HKEY base = Base();
  return Done(RegQueryValueEx(base, name.c_str(), nullptr, nullptr, nullptr, nullptr));
}

std::optional<std::string> Registry::ReadString(const std::string& name) {
  DWORD type;
  std::string data;
  if (!Query(name, type, data)) return std::nullopt;
  if (type != REG_SZ) {
    Done(ERROR_DATATYPE_MISMATCH);
    return std::nullopt;
  }
  return data;
}

std::optional<int32_t> Registry::ReadInteger(const std::string& name) {
  DWORD type;
  std::string data;
  if (!Query(name, type, data)) return std::nullopt;
  if (type != REG_DWORD || data.size() != 4) {
    Done(ERROR_DATATYPE_MISMATCH);
    return std::nullopt;
  }
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= uint32_t(static_cast<unsigned char>(data[i])) << (8 * i);
  return int32_t(n);
}

std::optional<bool> Registry::ReadBool(const std::string& name) {
  auto n = ReadInteger(name);
  if (!n) return std::nullopt;
  return *n != 0;
}

std::optional<std::vector<uint8_t>> Registry::ReadBinaryData(const std::string& name) {
  DWORD type;
  std::string data;
  if (!Query(name, type, data)) return std::nullopt;
  if (type != REG_BINARY) {
    Done(ERROR_DATATYPE_MISMATCH);
    return std::nullopt;
  }
  return std::vector<uint8_t>(data.begin(), data.end());
}

bool Registry::WriteString(const std::string& name, const std::string& value) {
  return Set(name, REG_SZ, value.c_str(), value.size() + 1);  // with its terminator, as stored texts have
}

bool Registry::WriteInteger(const std::string& name, int32_t value) {
  uint32_t n = uint32_t(value);
  BYTE bytes[4] = {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)};
  return Set(name, REG_DWORD, bytes, 4);
}

bool Registry::WriteBool(const std::string& name, bool value) { return WriteInteger(name, value ? 1 : 0); }

bool Registry::WriteBinaryData(const std::string& name, const std::vector<uint8_t>& value) {
  return Set(name, REG_BINARY, value.data(), value.size());
}

bool Registry::DeleteValue(const std::string& name) {
  return Done(RegDeleteValue(Base(), name.c_str()));
}

std::vector<std::string> Registry::GetKeyNames() {
  HKEY base = Base();
  std::vector<std::string> names;
  char name[256];
  LSTATUS result;
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    result = RegEnumKeyEx(base, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  Done(result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result);
  return names;
}

std::vector<std::string> Registry::GetValueNames() {
  HKEY base = Base();
  std::vector<std::string> names;
  std::string name;
  LSTATUS result = ERROR_SUCCESS;
  for (DWORD i = 0; result == ERROR_SUCCESS;) {
    DWORD longest = 0;
    result = RegQueryInfoKey(base, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest,
                             nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) break;
    name.resize(longest + 1);
    // Names only; a longer name made since the query sends us back for a bigger buffer.
    while (true) {
      DWORD length = DWORD(name.size());
      result = RegEnumValue(base, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (result != ERROR_SUCCESS) break;
      names.emplace_back(name.data(), length);
      ++i;
    }
    if (result == ERROR_MORE_DATA) result = ERROR_SUCCESS;
  }
  Done(result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result);
  return names;
}

bool Registry::DeleteKey(const std::string& path) {
  return Done(RegDeleteTree(root_, Resolve(path).c_str()));
}

bool Registry::SaveKey(const std::string& file) {
  return Done(RegSaveKey(Base(), file.c_str(), nullptr));
}

bool Registry::SaveKeyReplacing(const std::string& file) {
  return Done(platform::SaveKeyReplacing(Base(), file));
}

bool Registry::RestoreKey(const std::string& file) {
  return Done(RegRestoreKey(Base(), file.c_str(), 0));
}

}  // namespace platform
