#pragma once
// Windows-1252, the single-byte text of the system (pad, status texts, operator initials,
// passwords, registry texts), and its conversions to Unicode wherever such text meets
// UTF-8 (XML, Qt, D-Bus) or wide strings (COM calls, ODBC).
//
// The five bytes that 1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1
// controls of the same value and back, as Windows' best-fit does, so that every byte
// string survives a round trip. Characters that 1252 lacks become '?'.

#include <string>
#include <string_view>

namespace platform {

// The Unicode code point of one 1252 byte.
char32_t Cp1252ToUnicode(unsigned char byte);

// The 1252 byte of a code point; false when 1252 has no such character.
bool UnicodeToCp1252(char32_t code, unsigned char& byte);

std::string Cp1252ToUtf8(std::string_view text);
// Malformed UTF-8 (a stray, truncated, overlong or surrogate sequence) becomes one '?'
// per bad sequence, as does every character outside 1252.
std::string Utf8ToCp1252(std::string_view text);

std::wstring Cp1252ToWide(std::string_view text);
std::string WideToCp1252(std::wstring_view text);

}  // namespace platform
