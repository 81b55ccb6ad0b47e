#include "unicode.h"

namespace platform {

void AppendUtf8(std::string& out, char32_t code) {
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = 0xFFFD;
  if (code < 0x80) {
    out += char(code);
  } else if (code < 0x800) {
    out += char(0xC0 | (code >> 6));
    out += char(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += char(0xE0 | (code >> 12));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  } else {
    out += char(0xF0 | (code >> 18));
    out += char(0x80 | ((code >> 12) & 0x3F));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  }
}

bool DecodeUtf8(std::string_view text, size_t& pos, char32_t& code) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    code = lead;
    ++pos;
    return true;
  }
  int more;
  unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    ++pos;
    return false;
  }
  ++pos;
  for (int i = 0; i < more; ++i, low = 0x80, high = 0xBF) {
    if (pos >= text.size() || byte(pos) < low || byte(pos) > high) return false;
    code = code << 6 | (byte(pos) & 0x3F);
    ++pos;
  }
  return true;
}

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) AppendUtf8(out, static_cast<char32_t>(c));
  return out;
}

std::wstring Utf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t code;
    out += DecodeUtf8(text, pos, code) ? static_cast<wchar_t>(code) : L'\uFFFD';
  }
  return out;
}

namespace {

void AppendUtf16(std::u16string& out, char32_t code) {
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = 0xFFFD;
  if (code >= 0x10000) {
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  } else {
    out += static_cast<char16_t>(code);
  }
}

// Decodes the code point at text[i], advancing i past it.
char32_t DecodeUtf16(std::u16string_view text, size_t& i) {
  char32_t code = text[i++];
  if (code >= 0xD800 && code <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
    return 0x10000 + ((code - 0xD800) << 10) + (text[i++] - 0xDC00);
  return code >= 0xD800 && code <= 0xDFFF ? 0xFFFD : code;
}

}  // namespace

std::u16string WideToUtf16(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) AppendUtf16(out, static_cast<char32_t>(c));
  return out;
}

std::wstring Utf16ToWide(std::u16string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) out += static_cast<wchar_t>(DecodeUtf16(text, i));
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t code;
    AppendUtf16(out, DecodeUtf8(text, pos, code) ? code : 0xFFFD);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) AppendUtf8(out, DecodeUtf16(text, i));
  return out;
}

}  // namespace platform
