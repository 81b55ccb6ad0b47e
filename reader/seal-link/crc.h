#pragma once
// CRC-16 with polynomial 0x1021, not reflected (XMODEM when started from 0).

#include <cstddef>
#include <cstdint>

uint16_t CalcCrc16(uint16_t crc, const uint8_t* data, size_t count);
