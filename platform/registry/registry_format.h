#pragma once
// The registry's keys in memory and their text form, shared by the store files (one per
// root) and the files that a key is saved to. The text is ASCII only, so that any editor
// shows it and no byte of a name or value is ever re-encoded:
//
//   ZARN registry 1                      first line: "ZARN saved key 1" in a saved key
//   ; comment lines start with ; or #
//   []                                   the root (a saved key's own key)
//   [Software\Halvec\ZARN\2.0]           a key, its path from the root
//   @=sz:"default value"                 the key's default value
//   "Top"=dword:460                      decimal, 0 to 4294967295
//   "Pad"=binary:0a ff 00                hex bytes
//   "Other"=hex(7):61 00 00              any other type by number, as bytes
//
// Each key has its own section line, parents before children, values in their order.
// In names and strings every byte below 0x20 or above 0x7E and the characters % and "
// are written %HH; in a key path also a space at the start or end of a name and a
// backslash inside a name (which the handle API cannot make, but a key tree can hold).

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::reg {

// Upper-cases ASCII and the Windows-1252 letters, so names compare as the system expects.
std::string Fold(std::string_view name);

struct Value {
  std::string name;  // empty for the default value
  uint32_t type = 0;
  std::string data;  // REG_SZ without a terminating zero
};

struct Key {
  std::string name;
  std::vector<Value> values;                           // in the order made
  std::map<std::string, std::unique_ptr<Key>> subkeys;  // by folded name

  Key* Find(std::string_view subkey) const;
  // The subkey of that name, made when missing.
  Key& Make(std::string_view subkey, bool* made = nullptr);
  bool Erase(std::string_view subkey);
  Value* FindValue(std::string_view valueName);
  const Value* FindValue(std::string_view valueName) const;
};

enum class FileKind { Store, SavedKey };

// The first line of each kind of file.
std::string_view Magic(FileKind kind);

std::string Format(const Key& key, FileKind kind);
// Reads a whole file's text into key (which is emptied first). False, with the line
// and what is wrong in problem, for any text that is not exactly this format.
bool Parse(std::string_view text, FileKind kind, Key& key, std::string* problem = nullptr);

}  // namespace platform::reg
