#include "cp1252.h"

#include "unicode.h"

namespace platform {

namespace {

// 0x80 to 0x9F; the undefined bytes stand for the C1 control of their own value.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

}  // namespace

char32_t Cp1252ToUnicode(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? char32_t(kHighControls[byte - 0x80]) : char32_t(byte);
}

bool UnicodeToCp1252(char32_t code, unsigned char& byte) {
  if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
    byte = static_cast<unsigned char>(code);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == code) {
      byte = static_cast<unsigned char>(0x80 + i);
      return true;
    }
  }
  return false;
}

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) AppendUtf8(out, Cp1252ToUnicode(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t code;
    unsigned char byte;
    out += DecodeUtf8(text, pos, code) && UnicodeToCp1252(code, byte) ? char(byte) : '?';
  }
  return out;
}

std::wstring Cp1252ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (char c : text) out += static_cast<wchar_t>(Cp1252ToUnicode(static_cast<unsigned char>(c)));
  return out;
}

std::string WideToCp1252(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    unsigned char byte;
    out += UnicodeToCp1252(static_cast<char32_t>(c), byte) ? char(byte) : '?';
  }
  return out;
}

}  // namespace platform
