#pragma once
// Operator initials and the 16-bit operator ID that the seal protocol and the status
// record carry: base 27, first letter most significant, A to Z the digits 1 to 26 and
// 0 for no letter. Three letters fit (at most 19682); more wrap modulo 65536.

#include <cstdint>
#include <string>
#include <string_view>

// The initials are the system's single-byte text; every character outside A to Z,
// lower-case letters included, counts as the digit 0.
uint16_t InitialsToUserId(std::string_view initials);
// A zero digit inside or at the end becomes a blank; 0 gives the empty text.
std::string UserIdToInitials(uint16_t id);
