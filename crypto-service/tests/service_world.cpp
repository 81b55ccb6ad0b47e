#include "service_world.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "activation.h"
#include "brisel.h"
#include "private_bus.h"
#include "registry.h"
#include "unicode.h"

namespace brisel_test {

namespace {
ServiceWorld* world = nullptr;
}  // namespace

struct ServiceWorld::Parts {
  keydb_test::OdbcSandbox odbc;
  std::string registry;
  std::unique_ptr<sim::TokenRack> tokens;
  std::unique_ptr<sim::PrivateSessionBus> bus;
};

ServiceWorld::ServiceWorld() : parts_(std::make_unique<Parts>()) {
  world = this;
  parts_->odbc.SetUp();
  char registry[] = "/tmp/zarn-world-registry-XXXXXX";
  if (!::mkdtemp(registry)) throw std::runtime_error("mkdtemp failed");
  parts_->registry = registry;
  ::setenv(platform::RegistryDirVariable, registry, 1);
  ::setenv("ZARN_TOKEN_SCAN_PERIOD_MS", "100", 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // the service's errors go to its error output
  parts_->tokens = std::make_unique<sim::TokenRack>();
  parts_->bus = std::make_unique<sim::PrivateSessionBus>();
  ::setenv(platform::ActivationDirectoryVariable, parts_->bus->ServiceDirectory().c_str(), 1);
  if (std::system(BRISEL_PATH " -RegServer") != 0) throw std::runtime_error("brisel -RegServer failed");
  keydb_test::CreateDatabase(Database());
  ServeKeyDatabase(true);
}

ServiceWorld::~ServiceWorld() {
  parts_->bus.reset();
  parts_->tokens.reset();
  parts_->odbc.TearDown();
  std::error_code ec;
  std::filesystem::remove_all(parts_->registry, ec);
  world = nullptr;
}

ServiceWorld& ServiceWorld::Get() { return *world; }

const keydb_test::Backend& ServiceWorld::Database() {
  static const keydb_test::Backend sqlite{"Sqlite", false};
  return sqlite;
}

sim::TokenRack& ServiceWorld::Tokens() { return *parts_->tokens; }

const std::string& ServiceWorld::ServiceDirectory() const { return parts_->bus->ServiceDirectory(); }

const std::string& ServiceWorld::BusAddress() const { return parts_->bus->Address(); }

void ServiceWorld::ServeKeyDatabase(bool withDatabase) {
  std::string command = std::string(BRISEL_PATH) + " -Embedding";
  if (withDatabase) command += " " + platform::WideToUtf8(keydb_test::DataSource(Database())) + " zarn zarn";
  parts_->bus->AddService(BriselBusName, command);
}

void ServiceWorld::EndService() {
  auto* names = QDBusConnection::sessionBus().interface();
  if (!names) return;
  uint pid = names->servicePid(BriselBusName);
  if (pid == 0) return;
  ::kill(pid_t(pid), SIGTERM);
  for (int i = 0; i < 400 && names->isServiceRegistered(BriselBusName); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace brisel_test
