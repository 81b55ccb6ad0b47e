#pragma once
// The world the seal command tests and the benchmark run in: a private session bus that
// starts the real crypto service by activation, a private registry and ODBC
// configuration with an SQLite key database, and a rack for simulated crypto tokens.
// Everything the service inherits is set before the bus starts it.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "seal_sim.h"
#include "token_sim.h"
#include "winmsg.h"

namespace seal_test {

class TestWorld {
 public:
  TestWorld(int& argc, char** argv);
  ~TestWorld();
  TestWorld(const TestWorld&) = delete;
  TestWorld& operator=(const TestWorld&) = delete;

  static TestWorld& Get();
  sim::TokenRack& Tokens();
  const std::string& ServiceDirectory() const;
  // The address of the bus the service is started on.
  const std::string& BusAddress() const;

  // What an activated service is started with from now on; the running one, if any,
  // keeps what it was started with until EndService.
  void ServeKeyDatabase(bool withDatabase);
  // Ends the running service, so that the next client starts one afresh. Also to be
  // called before the process's QCoreApplication goes.
  void EndService();

 private:
  struct Parts;
  Parts* parts_;
};

// Empties the key database.
void FreshDatabase();
void StoreInDatabase(const sim::SealKeyset& keyset);
bool DatabaseHolds(const sim::SealKeyset& keyset);
// Rows of Keys with that key-set number.
int KeysetRows(uint32_t number);

// A main window of class "TMainForm" that records what is posted to it.
class RecordingMainWindow {
 public:
  struct Message {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Message&) const = default;
  };
  RecordingMainWindow();
  ~RecordingMainWindow();
  std::vector<Message> Messages() const;

 private:
  class Queue;
  Queue* queue_;
  HWND window_;
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
};

}  // namespace seal_test
