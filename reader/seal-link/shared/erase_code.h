#pragma once
// The 8 characters a seal expects in the MAC field of the erase command; the seal
// simulator takes them from here too.

inline constexpr char SealEraseCode[8] = {'Z', 'A', 'R', 'N', 'W', 'I', 'P', 'E'};
