// Hex texts: the seal data file's (HexToBytes) and the key database's (DecodeHex).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hex_text.h"
#include "tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t room = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<uint8_t> bytes(room + 1, 0xA5);
  const size_t n = HexToBytes(text, bytes.data(), room);
  if (n > room || n > text.size() / 2 || bytes[room] != 0xA5) std::abort();
  // Written back, the whole bytes read the same.
  if (HexToBytes(BytesToHex(bytes.data(), n), bytes.data(), n) != n) std::abort();

  std::wstring wide(text.begin(), text.end());
  std::vector<uint8_t> keys(room + 1, 0x5A);
  DecodeHex(keys.data(), wide.c_str(), std::min(room, wide.size() / 2));
  if (keys[room] != 0x5A) std::abort();
  return 0;
}
