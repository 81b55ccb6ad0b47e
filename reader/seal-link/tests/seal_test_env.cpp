#include "seal_test_env.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "activation.h"
#include "brisel.h"
#include "date_time.h"
#include "keydb_test_support.h"
#include "private_bus.h"
#include "registry.h"
#include "unicode.h"

namespace fs = std::filesystem;

namespace seal_test {

namespace {

const keydb_test::Backend Sqlite{"Sqlite", false};
TestWorld* world = nullptr;

// The key database's form of a key-set time: "yyyy-mm-dd hh:mm:ss" of seconds since 2000.
std::string TimeText(uint32_t seconds) {
  auto d = platform::CivilFromDays(10957 + seconds / 86400);
  uint32_t s = seconds % 86400;
  char text[32];
  std::snprintf(text, sizeof text, "%.4d-%.2d-%.2d %.2u:%.2u:%.2u", d.year, d.month, d.day, s / 3600, s / 60 % 60,
                s % 60);
  return text;
}

}  // namespace

struct TestWorld::Parts {
  keydb_test::OdbcSandbox odbc;
  std::string registry;
  std::unique_ptr<sim::TokenRack> tokens;
  std::unique_ptr<sim::PrivateSessionBus> bus;
};

TestWorld::TestWorld(int&, char**) : parts_(new Parts) {
  world = this;
  parts_->odbc.SetUp();
  char registry[] = "/tmp/zarn-seal-registry-XXXXXX";
  if (!::mkdtemp(registry)) throw std::runtime_error("mkdtemp failed");
  parts_->registry = registry;
  ::setenv(platform::RegistryDirVariable, registry, 1);
  ::setenv("ZARN_TOKEN_SCAN_PERIOD_MS", "100", 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // the service's errors go to its error output
  parts_->tokens = std::make_unique<sim::TokenRack>();
  parts_->bus = std::make_unique<sim::PrivateSessionBus>();
  ::setenv(platform::ActivationDirectoryVariable, parts_->bus->ServiceDirectory().c_str(), 1);
  if (std::system(BRISEL_PATH " -RegServer") != 0) throw std::runtime_error("brisel -RegServer failed");
  keydb_test::CreateDatabase(Sqlite);
}

TestWorld::~TestWorld() {
  parts_->bus.reset();
  parts_->tokens.reset();
  parts_->odbc.TearDown();
  std::error_code ec;
  fs::remove_all(parts_->registry, ec);
  delete parts_;
  world = nullptr;
}

TestWorld& TestWorld::Get() { return *world; }

sim::TokenRack& TestWorld::Tokens() { return *parts_->tokens; }

const std::string& TestWorld::ServiceDirectory() const { return parts_->bus->ServiceDirectory(); }

const std::string& TestWorld::BusAddress() const { return parts_->bus->Address(); }

void TestWorld::ServeKeyDatabase(bool withDatabase) {
  std::string command = std::string(BRISEL_PATH) + " -Embedding";
  if (withDatabase) command += " " + platform::WideToUtf8(keydb_test::DataSource(Sqlite)) + " zarn zarn";
  parts_->bus->AddService(BriselBusName, command);
}

void TestWorld::EndService() {
  auto* names = QDBusConnection::sessionBus().interface();
  if (!names) return;
  uint pid = names->servicePid(BriselBusName);
  if (pid == 0) return;
  ::kill(pid_t(pid), SIGTERM);
  for (int i = 0; i < 400 && names->isServiceRegistered(BriselBusName); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void FreshDatabase() { keydb_test::CreateDatabase(Sqlite); }

void StoreInDatabase(const sim::SealKeyset& k) {
  keydb_test::RawConnection db(Sqlite);
  const uint32_t serial = k.number >> 8;
  db.Exec("INSERT INTO \"Seals\" (\"SerialNumber\") SELECT " + std::to_string(serial) +
          " WHERE NOT EXISTS (SELECT 1 FROM \"Seals\" WHERE \"SerialNumber\" = " + std::to_string(serial) + ")");
  db.Exec("INSERT INTO \"Keys\" (\"SealID\", \"KeysetNumber\", \"KeysetTime\", \"Authentication\", "
          "\"Authorization\", \"Identification\", \"Encryption\", \"Quarel\") SELECT \"SealID\", " +
          std::to_string(k.number) + ", '" + TimeText(k.Seconds()) + "', '" + k.KeyHex(sim::Authentication) +
          "', '" + k.KeyHex(sim::Authorization) + "', '" + k.KeyHex(sim::Identification) + "', '" +
          k.KeyHex(sim::Encryption) + "', '" + k.QuarelHex() + "' FROM \"Seals\" WHERE \"SerialNumber\" = " +
          std::to_string(serial));
}

bool DatabaseHolds(const sim::SealKeyset& k) {
  keydb_test::RawConnection db(Sqlite);
  return db.Value("SELECT COUNT(*) FROM \"Keys\" WHERE \"KeysetNumber\" = " + std::to_string(k.number) +
                  " AND \"KeysetTime\" = '" + TimeText(k.Seconds()) + "' AND \"Authentication\" = '" +
                  k.KeyHex(sim::Authentication) + "' AND \"Authorization\" = '" + k.KeyHex(sim::Authorization) +
                  "' AND \"Identification\" = '" + k.KeyHex(sim::Identification) + "' AND \"Encryption\" = '" +
                  k.KeyHex(sim::Encryption) + "' AND \"Quarel\" = '" + k.QuarelHex() + "'") == "1";
}

int KeysetRows(uint32_t number) {
  keydb_test::RawConnection db(Sqlite);
  return std::stoi(db.Value("SELECT COUNT(*) FROM \"Keys\" WHERE \"KeysetNumber\" = " + std::to_string(number)));
}

// Runs posted work at once, on the poster's thread: the test reads what arrived.
class RecordingMainWindow::Queue : public platform::MessageQueue {
 public:
  void Post(std::function<void()> work) override { work(); }
  bool IsOwnerThread() const override { return false; }
};

RecordingMainWindow::RecordingMainWindow() : queue_(new Queue) {
  window_ = platform::CreateWindowHandle("TMainForm", *queue_, [this](UINT m, WPARAM w, LPARAM l) -> LRESULT {
    std::lock_guard lock(mutex_);
    messages_.push_back({m, w, l});
    return 0;
  });
}

RecordingMainWindow::~RecordingMainWindow() {
  platform::DestroyWindowHandle(window_);
  delete queue_;
}

std::vector<RecordingMainWindow::Message> RecordingMainWindow::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

}  // namespace seal_test
