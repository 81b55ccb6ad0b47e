#pragma once
// The world the opening tests and the benchmark run in: the real crypto service,
// started by a private session bus, serving an SQLite key database through the SQLite
// ODBC driver, with simulated crypto tokens on pseudo-terminals. Set up once per
// process in main, before anything connects to the bus.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "seal_sim.h"
#include "token_sim.h"
#include "tools.h"

namespace dom_test {

class World {
 public:
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  static World& Get();
  sim::TokenRack& Tokens();
  // Puts a seal's key-set into the key database.
  void StoreKeyset(const sim::SealKeyset& keyset);
  // Ends the running service; the next client starts a new one.
  void EndService();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

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
