#include "seal_test_env.h"

#include <cstdio>
#include <stdexcept>

#include "date_time.h"
#include "keydb_test_support.h"

namespace seal_test {

namespace {

const keydb_test::Backend& Sqlite = brisel_test::ServiceWorld::Database();

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
  bool IsOwnerThread() const override { return false; }

 protected:
  void Deliver(std::function<void()> work) override { work(); }
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
