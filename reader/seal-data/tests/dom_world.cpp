#include "dom_world.h"

#include <cstring>
#include <stdexcept>

#include "keydb_test_support.h"
#include "keyset_datasource.h"

namespace dom_test {

void StoreKeyset(const sim::SealKeyset& k) {
  CKeysetDatasource db(keydb_test::DataSource(World::Database()).c_str(), L"", L"");
  if (!db.StoreKeyset(k.number, k.Seconds(), k.Key(sim::Authentication).data(), k.Key(sim::Authorization).data(),
                      k.Key(sim::Identification).data(), k.Key(sim::Encryption).data(), k.quarel.data()))
    throw std::runtime_error("storing the key-set failed");
}

SealRecords::SealRecords(uint32_t serial, uint8_t major) : seal_(serial, major) {}

std::array<uint8_t, 64> SealRecords::Signed(std::array<uint8_t, 64> plain) const {
  sim::SealKey8 signature = sim::SealPageSignature(seal_.Keyset(), seal_.BlockSize(), plain);
  std::memcpy(plain.data() + 8, signature.data(), 8);
  return plain;
}

void SealRecords::Encrypt(uint8_t* data, size_t length) const {
  if (!sim::SealCipher(seal_.Keyset().Key(sim::Encryption), seal_.BlockSize(), data, length, true))
    throw std::runtime_error("encryption failed");
}

}  // namespace dom_test
