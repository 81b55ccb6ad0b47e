#include "registry_format.h"

#include <unordered_map>
#include <unordered_set>

#include "registry.h"

namespace platform::reg {

namespace {

unsigned char FoldByte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;  // à..þ, not the division sign
  switch (c) {
    case 0x9A: return 0x8A;  // š
    case 0x9C: return 0x8C;  // œ
    case 0x9E: return 0x8E;  // ž
    case 0xFF: return 0x9F;  // ÿ
    default: return c;
  }
}

const char Hex[] = "0123456789ABCDEF";
const char LowerHex[] = "0123456789abcdef";

void Escape(std::string& out, std::string_view text, bool pathSegment) {
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    bool edgeSpace = pathSegment && c == ' ' && (i == 0 || i + 1 == text.size());
    // A backslash inside a key's name must not read back as a path separator.
    bool separator = pathSegment && c == '\\';
    if (c < 0x20 || c > 0x7E || c == '%' || c == '"' || edgeSpace || separator) {
      out += '%';
      out += Hex[c >> 4];
      out += Hex[c & 15];
    } else {
      out += char(c);
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') return false;
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    int hi = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
    int lo = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
    if (hi < 0 || lo < 0) return false;
    out += char(hi << 4 | lo);
    i += 2;
  }
  return true;
}

// A quoted string at the start of text; rest is what follows the closing quote.
bool TakeQuoted(std::string_view text, std::string& out, std::string_view& rest) {
  if (text.empty() || text[0] != '"') return false;
  size_t end = text.find('"', 1);
  if (end == std::string_view::npos) return false;
  rest = text.substr(end + 1);
  return Unescape(text.substr(1, end - 1), out);
}

void AppendHexBytes(std::string& out, std::string_view bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    auto c = static_cast<unsigned char>(bytes[i]);
    out += LowerHex[c >> 4];
    out += LowerHex[c & 15];
  }
}

bool ParseHexBytes(std::string_view text, std::string& out) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += char(hi << 4 | lo);
    i += 2;
  }
  return true;
}

bool ParseDecimal(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  value = uint32_t(v);
  return true;
}

void FormatKey(std::string& out, const Key& key, const std::string& path) {
  out += '[';
  out += path;
  out += "]\n";
  for (const auto& v : key.values) {
    if (v.name.empty()) {
      out += '@';
    } else {
      out += '"';
      Escape(out, v.name, false);
      out += '"';
    }
    out += '=';
    switch (v.type) {
      case REG_SZ:
        out += "sz:\"";
        Escape(out, v.data, false);
        out += '"';
        break;
      case REG_DWORD: {
        uint32_t n = 0;
        for (size_t i = 0; i < 4 && i < v.data.size(); ++i)
          n |= uint32_t(static_cast<unsigned char>(v.data[i])) << (8 * i);
        out += "dword:" + std::to_string(n);
        break;
      }
      case REG_BINARY:
        out += "binary:";
        AppendHexBytes(out, v.data);
        break;
      default:
        out += "hex(" + std::to_string(v.type) + "):";
        AppendHexBytes(out, v.data);
        break;
    }
    out += '\n';
  }
  for (const auto& [folded, sub] : key.subkeys) {
    std::string subPath = path;
    if (!subPath.empty()) subPath += '\\';
    Escape(subPath, sub->name, true);
    FormatKey(out, *sub, subPath);
  }
}

bool ParseValueLine(std::string_view line, Value& value) {
  std::string_view rest;
  if (line.substr(0, 1) == "@") {
    value.name.clear();
    rest = line.substr(1);
  } else if (!TakeQuoted(line, value.name, rest) || value.name.empty()) {
    return false;
  }
  if (value.name.find('\0') != std::string::npos) return false;
  if (rest.substr(0, 1) != "=") return false;
  rest.remove_prefix(1);
  size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view type = rest.substr(0, colon), data = rest.substr(colon + 1);
  if (type == "sz") {
    value.type = REG_SZ;
    std::string_view after;
    return TakeQuoted(data, value.data, after) && after.empty();
  }
  if (type == "dword") {
    uint32_t n;
    if (!ParseDecimal(data, n)) return false;
    value.type = REG_DWORD;
    value.data.assign({char(n & 0xFF), char(n >> 8 & 0xFF), char(n >> 16 & 0xFF), char(n >> 24 & 0xFF)});
    return true;
  }
  if (type == "binary") {
    value.type = REG_BINARY;
    return ParseHexBytes(data, value.data);
  }
  if (type.size() > 5 && type.substr(0, 4) == "hex(" && type.back() == ')') {
    uint32_t n;
    if (!ParseDecimal(type.substr(4, type.size() - 5), n)) return false;
    if (n == REG_SZ || n == REG_DWORD || n == REG_BINARY) return false;  // one spelling per type
    value.type = n;
    return ParseHexBytes(data, value.data);
  }
  return false;
}

}  // namespace

std::string Fold(std::string_view name) {
  std::string folded(name);
  for (auto& c : folded) c = char(FoldByte(static_cast<unsigned char>(c)));
  return folded;
}

Key* Key::Find(std::string_view subkey) const {
  auto it = subkeys.find(Fold(subkey));
  return it == subkeys.end() ? nullptr : it->second.get();
}

Key& Key::Make(std::string_view subkey, bool* made) {
  auto& slot = subkeys[Fold(subkey)];
  if (made) *made = !slot;
  if (!slot) {
    slot = std::make_unique<Key>();
    slot->name = subkey;
  }
  return *slot;
}

bool Key::Erase(std::string_view subkey) { return subkeys.erase(Fold(subkey)) > 0; }

Value* Key::FindValue(std::string_view valueName) {
  return const_cast<Value*>(static_cast<const Key*>(this)->FindValue(valueName));
}

const Value* Key::FindValue(std::string_view valueName) const {
  std::string folded = Fold(valueName);
  for (const auto& v : values)
    if (v.name.size() == folded.size() && Fold(v.name) == folded) return &v;
  return nullptr;
}

std::string_view Magic(FileKind kind) {
  return kind == FileKind::Store ? "ZARN registry 1" : "ZARN saved key 1";
}

std::string Format(const Key& key, FileKind kind) {
  std::string out(Magic(kind));
  out += "\n; Keys as [path], values as name=type:data; bytes outside printable ASCII, % and \" as %HH.\n";
  FormatKey(out, key, "");
  return out;
}

bool Parse(std::string_view text, FileKind kind, Key& key, std::string* problem) {
  key.values.clear();
  key.subkeys.clear();
  Key* current = nullptr;
  // The folded names of each key's values so far (a key's section may come twice), so a
  // key of many values is not searched through once for each of them.
  std::unordered_map<const Key*, std::unordered_set<std::string>> valueNames;
  size_t lineNumber = 0;
  auto fail = [&](const char* what) {
    if (problem) *problem = "line " + std::to_string(lineNumber) + ": " + what;
    return false;
  };
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (lineNumber == 1) {
      if (line != Magic(kind)) return fail("not a file of this kind");
      continue;
    }
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail("a key line ends with ]");
      std::string_view path = line.substr(1, line.size() - 2);
      current = &key;
      while (!path.empty()) {
        size_t sep = path.find('\\');
        std::string name;
        if (!Unescape(path.substr(0, sep), name) || name.empty() || name.find('\0') != std::string::npos)
          return fail("bad key name");
        current = &current->Make(name);
        if (sep == std::string_view::npos) break;
        path.remove_prefix(sep + 1);
        if (path.empty()) return fail("bad key name");
      }
      continue;
    }
    if (!current) return fail("a value before the first key");
    Value value;
    if (!ParseValueLine(line, value)) return fail("bad value");
    if (!valueNames[current].insert(Fold(value.name)).second) return fail("a value given twice");
    current->values.push_back(std::move(value));
  }
  if (lineNumber == 0) return fail("empty file");
  return true;
}

}  // namespace platform::reg
