#include "crc.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t v = uint16_t(i << 8);
    for (int bit = 0; bit < 8; ++bit) v = uint16_t(v & 0x8000 ? (v << 1) ^ 0x1021 : v << 1);
    table[i] = v;
  }
  return table;
}

constexpr auto Table = MakeTable();

}  // namespace

uint16_t CalcCrc16(uint16_t crc, const uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i) crc = uint16_t(Table[((crc >> 8) ^ data[i]) & 0xFF] ^ (crc << 8));
  return crc;
}
