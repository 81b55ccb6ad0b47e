#pragma once
// The shipped reader in the world of scripts/try-zarn, worked from outside only, under Xvfb:
// keys and clicks of the X display in its views and menus, clicks and typing in its pages
// through the browser's remote-debugging protocol. What the simulated seals were asked is
// read back from their record.
#include <QRect>
#include <QString>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "devtools_page.h"
#include "try_zarn_world.h"

// A read-out of a slow build under load takes its time; nothing here waits for a time-out.
inline constexpr int OperationTime = 60000;

// A picture of the whole display, under the build folder.
void Screenshot(const std::string& name);

// "Q L" for a transaction with its command letter, "G" for a challenge: what a simulated
// seal recorded of the requests sent to it, each marked when it was refused or its MAC bad.
std::vector<std::string> Requests(const std::string& world, uint32_t serial);
// The same, each run of one request counted once.
std::vector<std::string> Steps(const std::vector<std::string>& requests);
std::string Join(const std::vector<std::string>& items);

// A loopback port held bound, not listening, while the object lives: a server that binds it as
// servers do (with SO_REUSEADDR) takes it, and the system hands it to nobody else meanwhile, so
// programs run side by side are never given the same one.
class ReservedPort {
 public:
  ReservedPort();
  ~ReservedPort();
  ReservedPort(const ReservedPort&) = delete;
  ReservedPort& operator=(const ReservedPort&) = delete;
  // 0 when no port could be had.
  quint16 Number() const { return number_; }

 private:
  int socket_ = -1;
  quint16 number_ = 0;
};

class ShippedReader : public ::testing::Test {
 protected:
  void SetUp() override;

  // Clicks the button and waits for the operation it starts to end: the page's own words
  // then, the result box's kind ("done", "failed", "canceled") and its text.
  std::pair<std::string, std::string> Operate(const QString& button);
  // The same for an operation already started: its words once it has ended.
  std::pair<std::string, std::string> Result();
  // The element's text as shown.
  std::string Text(const QString& id);
  // The keys an operator uses in a view on the left: its empty lower part clicked (which
  // chooses nothing), the first entry, the entry's name typed to find it, Enter to open it.
  void OpenFromView(const QString& entry);
  // View > Setup, Group or Database by the menu's keys ("s", "g", "d").
  void ShowView(const QString& key);
  // A command line for a seal simulator ("com-seals", "net-seals"), once it has answered it
  // (the commands that answer "ok": offset, fault, clear and the like).
  void Tell(const std::string& simulator, const std::string& command);

  // The browser's remote-debugging port; it outlives the reader.
  ReservedPort debugging_;
  std::unique_ptr<TryZarn> script_;
  QRect window_;
  DevToolsPage page_;
};
