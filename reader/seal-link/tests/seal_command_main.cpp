// The seal command tests: one private world per test process, set up before Qt
// connects to its bus.
#include <QCoreApplication>
#include <gtest/gtest.h>

#include "activation.h"
#include "faulty_crypto.h"
#include "seal_test_env.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  seal_test::TestWorld world;
  QCoreApplication app(argc, argv);
  platform::ClassRegistration faulty{CLSID_FaultyCrypto, "Faulty crypto", "", "", GUID{}, GUID{}, false};
  platform::LocalServerRegistration peer{GUID{}, "FaultyCrypto", "faulty_crypto_peer", FAULTY_CRYPTO_PEER,
                                         FaultyCryptoBusName};
  if (FAILED(platform::RegisterLocalServerClass(faulty, peer))) return 2;
  int result = RUN_ALL_TESTS();
  world.EndService();
  return result;
}
