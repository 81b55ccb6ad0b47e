// Tokens plugged in and pulled out while the crypto object computes with them: no call
// may ever use a token the scan has let go of. Also built with AddressSanitizer.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <random>
#include <thread>

#include "test_window.h"
#include "token_scan.h"
#include "token_sim.h"
#include "zarn_crypto.h"

using namespace std::chrono;

namespace {

std::vector<uint8_t> AesEcb(const sim::Key16& key, std::vector<uint8_t> data) {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex(c, EVP_aes_128_ecb(), nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_EncryptUpdate(c, data.data(), &n, data.data(), int(data.size()));
  EVP_CIPHER_CTX_free(c);
  return data;
}

}  // namespace

TEST(CryptoStress, PlugAndUnplugDuringCryptoCalls) {
  sim::TokenRack rack;
  const unsigned ports[] = {21, 22, 23};
  std::vector<sim::SimKeyset> keysets;
  for (unsigned i = 0; i < 3; ++i) {
    sim::SimKeyset k{(100 + i) << 8, 1000 + i, 0x0F, {}};
    for (auto& key : k.keys) key.fill(uint8_t(0x10 * (i + 1)));
    keysets.push_back(k);
    rack.Plug(ports[i], 900 + i).SetKeysets({k});
  }
  sim::TestWindow window("CTokenWindow", [](UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
  CTokenScan scan(window.Handle(), TokenScanOptions{milliseconds(10), TokenTimings{200, 200, 1000}});
  scan.StartTokenScan();
  KeyDatabaseSource noDatabase;
  ComPtr<CZarnCrypto> crypto(new CZarnCrypto(&scan, noDatabase));
  ASSERT_EQ(crypto->FinalConstruct(), S_OK);

  std::atomic<bool> running{true};
  std::thread plugger([&] {
    std::mt19937 random(42);
    while (running) {
      unsigned i = random() % 3;
      if (rack.Token(ports[i]) && rack.Token(ports[i])->Plugged()) rack.Unplug(ports[i]);
      else rack.Plug(ports[i], 900 + i).SetKeysets({keysets[i]});
      std::this_thread::sleep_for(milliseconds(random() % 40));
    }
  });
  int done = 0, refused = 0;
  auto until = steady_clock::now() + seconds(3);
  const std::vector<uint8_t> plain(32, 0x5C);
  while (steady_clock::now() < until) {
    for (unsigned i = 0; i < 3; ++i) {
      Bstr data = Bstr::FromBytes(plain.data(), plain.size());
      HRESULT hr = crypto->Encrypt(int32_t(keysets[i].number), int32_t(keysets[i].time), int32_t(3 | KeysetKeyAes),
                                   &data, 2);
      if (hr == S_OK) {
        ++done;
        EXPECT_EQ(std::vector<uint8_t>(data.Bytes(), data.Bytes() + 32), AesEcb(keysets[i].keys[3], plain));
      } else {
        EXPECT_EQ(hr, E_FAIL);
        ++refused;
      }
    }
  }
  running = false;
  plugger.join();
  scan.StopTokenScan();
  EXPECT_GT(done, 0);
  EXPECT_GT(refused, 0);
}
