#pragma once
// UTF-8, UTF-16 and wide (UTF-32 wchar_t) strings, each way; bad input becomes U+FFFD.

#include <string>
#include <string_view>

namespace platform {

std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

// Characters past the BMP take two UTF-16 units; a lone surrogate becomes U+FFFD.
std::u16string WideToUtf16(std::wstring_view text);
std::wstring Utf16ToWide(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Appends the UTF-8 form of one code point (U+FFFD for a surrogate or a value past U+10FFFF).
void AppendUtf8(std::string& out, char32_t code);

// Decodes one UTF-8 sequence at text[pos], advancing pos past it. A malformed sequence
// yields false and advances pos past the bytes that belong to it (at least one).
bool DecodeUtf8(std::string_view text, size_t& pos, char32_t& code);

}  // namespace platform
