#pragma once
// What the opening tests and the benchmark share: the service world, and seals' records
// as a seal makes them.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "seal_sim.h"
#include "service_world.h"
#include "token_sim.h"
#include "tools.h"

namespace dom_test {

using World = brisel_test::ServiceWorld;

// Puts a seal's key-set into the key database.
void StoreKeyset(const sim::SealKeyset& keyset);

// A seal's records in both forms, as the seal sends them: signed with its key-set and
// encrypted in its block mode with the key-set's encryption key.
class SealRecords {
 public:
  SealRecords(uint32_t serial, uint8_t major);
  sim::SimulatedSeal& Seal() { return seal_; }
  uint32_t Serial() const { return seal_.Serial(); }
  uint32_t KeysetNumber() const { return seal_.Keyset().number; }
  TSealTime KeysetTime() const { return seal_.Keyset().time; }

  // The page as the seal signs it (bytes 8-15 replaced), and its encrypted form.
  std::array<uint8_t, 64> Signed(std::array<uint8_t, 64> plain) const;
  template <size_t N>
  std::array<uint8_t, N> Encrypted(std::array<uint8_t, N> plain) const {
    Encrypt(plain.data(), N);
    return plain;
  }
  void Encrypt(uint8_t* data, size_t length) const;

 private:
  sim::SimulatedSeal seal_;
};

}  // namespace dom_test
