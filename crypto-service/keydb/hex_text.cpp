#include "hex_text.h"

namespace {

int Nibble(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

}  // namespace

bool EncodeHex(wchar_t* output, const uint8_t* bytes, size_t count) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    *output++ = kDigits[bytes[i] >> 4];
    *output++ = kDigits[bytes[i] & 0x0F];
  }
  *output = L'\0';
  return true;
}

bool DecodeHex(uint8_t* output, const wchar_t* text, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const int high = Nibble(text[2 * i]);
    if (high < 0) return false;
    const int low = Nibble(text[2 * i + 1]);
    if (low < 0) return false;
    output[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}
