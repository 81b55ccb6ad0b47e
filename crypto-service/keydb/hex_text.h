#pragma once
// Keys and token secrets as the key database stores them: two hexadecimal digits a byte,
// high nibble first.

#include <cstddef>
#include <cstdint>

// Writes 2 * count upper-case digits and a terminator.
bool EncodeHex(wchar_t* output, const uint8_t* bytes, size_t count);

// Reads count bytes from 2 * count digits of either case. Stops with false at the first
// pair that holds anything else (the terminator of a short text included); the bytes
// before it are written, that one and the rest are not.
bool DecodeHex(uint8_t* output, const wchar_t* text, size_t count);
