#pragma once
// The fixed single-DES key of the crypto service's Hash, the MAC the seals compute
// too: the service and the seal simulator both take it from here.

#include <cstdint>

inline constexpr uint8_t HashKeyBytes[8] = {0x5A, 0x61, 0x72, 0x6E, 0x48, 0x61, 0x73, 0x68};
