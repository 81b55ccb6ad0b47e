#pragma once
// The registry the system's programs keep their settings and class registrations in:
// keys and typed values under three roots, with the handle API and result codes the
// callers were written against, and a small key object for the reader's settings.
//
// Texts (key names, value names, string data) are single-byte strings kept as the bytes
// given. Names compare without regard to case (ASCII and the Windows-1252 letters) and
// keep the case they were created with. Each root is one file in the store directory,
// rewritten whole and atomically under a lock for every change; see registry_format.h.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// ---- types and codes ----

struct RegistryKeyHandle;  // never defined: handles are tokens
using HKEY = RegistryKeyHandle*;
using LSTATUS = int32_t;
using DWORD = uint32_t;
using BYTE = uint8_t;
using REGSAM = uint32_t;

// The predefined roots. HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT are kept per user
// like HKEY_CURRENT_USER: the system has one interactive user and needs no root rights.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(uintptr_t(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(uintptr_t(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(uintptr_t(0x80000002u)))

inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;     // no such key or value
inline constexpr LSTATUS ERROR_PATH_NOT_FOUND = 3;     // a save file's folder is missing
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;      // read-only key or handle, key with subkeys
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_WRITE_FAULT = 29;
inline constexpr LSTATUS ERROR_READ_FAULT = 30;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_DISK_FULL = 112;
inline constexpr LSTATUS ERROR_BAD_PATHNAME = 161;     // empty name segment, leading backslash
inline constexpr LSTATUS ERROR_ALREADY_EXISTS = 183;   // a save over an existing file
inline constexpr LSTATUS ERROR_MORE_DATA = 234;        // the buffer is too small
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;    // enumeration index past the end
inline constexpr LSTATUS ERROR_REGISTRY_QUOTA_LIMIT = 613;  // a change that would make its root too large
inline constexpr LSTATUS ERROR_BADDB = 1009;           // a store or save file that cannot be read
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;     // the handle's key was deleted
inline constexpr LSTATUS ERROR_DATATYPE_MISMATCH = 1629;  // a value of another type (key object)

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x00020019;
inline constexpr REGSAM KEY_WRITE = 0x00020006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr DWORD REG_WHOLE_HIVE_VOLATILE = 0x1;  // restore flags: accepted, no effect
inline constexpr DWORD REG_FORCE_RESTORE = 0x8;

// ---- the handle API ----
// A sub-key path is relative to the handle's key, segments separated by backslashes;
// a trailing backslash is allowed, a leading one or an empty segment is not. A null or
// empty value name is the key's default value. Sizes are in bytes; name lengths in
// characters, the buffer size including the terminating zero on input and the name's
// length without it on output.
//
// REG_SZ data is kept without its terminating zero (one is dropped if given) and read
// back with one, so its size is the text's length plus one. REG_DWORD takes exactly
// four bytes, little-endian. Other types are kept as plain bytes.
//
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM is read-only and not stored: each
// read lists the present ports of the COM port map, one REG_SZ "COMn" each, under the
// name \Device\VCPi for a virtual (token) port and \Device\Seriali for any other.

LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result);
LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                       REGSAM access, const void* security, HKEY* result, DWORD* disposition);
// Closing a predefined root does nothing.
LSTATUS RegCloseKey(HKEY key);

LSTATUS RegQueryValueEx(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* dataSize);
LSTATUS RegSetValueEx(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                      DWORD dataSize);
LSTATUS RegDeleteValue(HKEY key, const char* valueName);

// Subkeys enumerate in case-insensitive name order, values in the order made.
LSTATUS RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved,
                     char* keyClass, DWORD* classLength, void* lastWriteTime);
LSTATUS RegEnumValue(HKEY key, DWORD index, char* valueName, DWORD* valueNameLength, DWORD* reserved,
                     DWORD* type, BYTE* data, DWORD* dataSize);
LSTATUS RegQueryInfoKey(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved, DWORD* subKeys,
                        DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                        DWORD* maxValueNameLength, DWORD* maxValueLength, DWORD* securityDescriptor,
                        void* lastWriteTime);

// Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some). An empty
// sub-key deletes the handle's own key.
LSTATUS RegDeleteKey(HKEY key, const char* subKey);
// Deletes a key with its whole subtree; a null sub-key empties the handle's own key
// of values and subkeys and keeps the key.
LSTATUS RegDeleteTree(HKEY key, const char* subKey);

// Writes the key with its whole subtree to a new file (ERROR_ALREADY_EXISTS when the
// file exists). The security argument is ignored.
LSTATUS RegSaveKey(HKEY key, const char* file, const void* security);
// Replaces the key's values and subtree by those of a file that RegSaveKey wrote. A file
// of any other kind gives ERROR_BADDB and changes nothing. The flags are ignored.
LSTATUS RegRestoreKey(HKEY key, const char* file, DWORD flags);

namespace platform {

// Environment variable naming the store's directory instead of the user's own.
inline constexpr const char* RegistryDirVariable = "ZARN_REGISTRY_DIR";

// The store in force: $ZARN_REGISTRY_DIR, else $XDG_CONFIG_HOME/zarn/registry, else
// ~/.config/zarn/registry. It holds one file per root, named after the root.
std::string RegistryDirectory();

// Writes the key with its whole subtree as RegSaveKey does, to a file that may exist: it is
// replaced whole, so a failure leaves it as it was, and a symbolic link stays a link while
// the file it leads to is replaced (see ReplaceFile).
LSTATUS SaveKeyReplacing(HKEY key, const std::string& file);

// A key object in the manner of the reader's settings code: one current key, opened by
// path from a root; reads give nothing for a missing value or one of another type.
// Paths starting with a backslash count from the root, others from the current key
// (from the root while none is open); a trailing backslash is ignored.
class Registry {
 public:
  explicit Registry(HKEY root = HKEY_CURRENT_USER);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  HKEY RootKey() const { return root_; }
  void SetRootKey(HKEY root);  // closes the current key
  HKEY CurrentKey() const { return current_; }
  // The current key's path from the root, without leading backslash.
  const std::string& CurrentPath() const { return path_; }
  // The result of the last call that failed or succeeded.
  LSTATUS LastError() const { return lastError_; }

  bool OpenKey(const std::string& path, bool create);
  bool OpenKeyReadOnly(const std::string& path);
  void CloseKey();
  bool KeyExists(const std::string& path);

  bool ValueExists(const std::string& name);
  std::optional<std::string> ReadString(const std::string& name);  // REG_SZ only
  std::optional<int32_t> ReadInteger(const std::string& name);     // REG_DWORD only
  std::optional<bool> ReadBool(const std::string& name);           // REG_DWORD, not 0
  std::optional<std::vector<uint8_t>> ReadBinaryData(const std::string& name);  // REG_BINARY only
  bool WriteString(const std::string& name, const std::string& value);
  bool WriteInteger(const std::string& name, int32_t value);
  bool WriteBool(const std::string& name, bool value);  // REG_DWORD 1 or 0
  bool WriteBinaryData(const std::string& name, const std::vector<uint8_t>& value);
  bool DeleteValue(const std::string& name);

  std::vector<std::string> GetKeyNames();
  std::vector<std::string> GetValueNames();
  // Deletes the key with its whole subtree.
  bool DeleteKey(const std::string& path);

  // The current key with its subtree to a new file, and back.
  bool SaveKey(const std::string& file);
  bool RestoreKey(const std::string& file);
  // The current key with its subtree to a file that may exist, replaced whole.
  bool SaveKeyReplacing(const std::string& file);

 private:
  HKEY Base() const { return current_ ? current_ : root_; }
  std::string Resolve(const std::string& path) const;
  bool Query(const std::string& name, DWORD& type, std::string& data);
  bool Set(const std::string& name, DWORD type, const void* data, size_t size);
  bool Done(LSTATUS result);

  HKEY root_;
  HKEY current_ = nullptr;
  std::string path_;
  LSTATUS lastError_ = ERROR_SUCCESS;
};

}  // namespace platform
