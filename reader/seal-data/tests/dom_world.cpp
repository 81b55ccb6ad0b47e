#include "dom_world.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "activation.h"
#include "brisel.h"
#include "keydb_test_support.h"
#include "keyset_datasource.h"
#include "private_bus.h"
#include "registry.h"
#include "unicode.h"

namespace dom_test {

namespace {
const keydb_test::Backend Sqlite{"Sqlite", false};
World* world = nullptr;
}  // namespace

struct World::Parts {
  keydb_test::OdbcSandbox odbc;
  std::string registry;
  std::unique_ptr<sim::TokenRack> tokens;
  std::unique_ptr<sim::PrivateSessionBus> bus;
};

// Everything the service inherits is in the environment before the bus that starts it.
World::World() : parts_(std::make_unique<Parts>()) {
  world = this;
  parts_->odbc.SetUp();
  char registry[] = "/tmp/zarn-dom-registry-XXXXXX";
  if (!::mkdtemp(registry)) throw std::runtime_error("mkdtemp failed");
  parts_->registry = registry;
  ::setenv(platform::RegistryDirVariable, registry, 1);
  ::setenv("ZARN_TOKEN_SCAN_PERIOD_MS", "100", 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  parts_->tokens = std::make_unique<sim::TokenRack>();
  parts_->bus = std::make_unique<sim::PrivateSessionBus>();
  ::setenv(platform::ActivationDirectoryVariable, parts_->bus->ServiceDirectory().c_str(), 1);
  if (std::system(BRISEL_PATH " -RegServer") != 0) throw std::runtime_error("brisel -RegServer failed");
  keydb_test::CreateDatabase(Sqlite);
  parts_->bus->AddService(BriselBusName, std::string(BRISEL_PATH) + " -Embedding " +
                                             platform::WideToUtf8(keydb_test::DataSource(Sqlite)));
}

World::~World() {
  parts_->bus.reset();
  parts_->tokens.reset();
  parts_->odbc.TearDown();
  std::error_code ec;
  std::filesystem::remove_all(parts_->registry, ec);
  world = nullptr;
}

World& World::Get() { return *world; }

sim::TokenRack& World::Tokens() { return *parts_->tokens; }

void World::StoreKeyset(const sim::SealKeyset& k) {
  CKeysetDatasource db(keydb_test::DataSource(Sqlite).c_str(), L"", L"");
  if (!db.StoreKeyset(k.number, k.Seconds(), k.Key(sim::Authentication).data(), k.Key(sim::Authorization).data(),
                      k.Key(sim::Identification).data(), k.Key(sim::Encryption).data(), k.quarel.data()))
    throw std::runtime_error("storing the key-set failed");
}

void World::EndService() {
  auto* names = QDBusConnection::sessionBus().interface();
  if (!names) return;
  uint pid = names->servicePid(BriselBusName);
  if (pid == 0) return;
  ::kill(pid_t(pid), SIGTERM);
  for (int i = 0; i < 400 && names->isServiceRegistered(BriselBusName); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
