#pragma once
// What the seal command tests and the benchmark share: the service world, the key
// database's contents, and a main window that records what is posted to it.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "seal_sim.h"
#include "service_world.h"
#include "token_sim.h"
#include "winmsg.h"

namespace seal_test {

using TestWorld = brisel_test::ServiceWorld;

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
