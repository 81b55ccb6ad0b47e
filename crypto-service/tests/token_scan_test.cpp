#include "token_scan.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

#include "test_window.h"
#include "token_sim.h"

using namespace std::chrono;

namespace {

struct Message {
  UINT message;
  uint32_t serial;
};

// Stands for the dialog the token window gives a token it shows; the scan never opens it.
char shownDialog;

// The token window as the scan sees it: records each message; answers password requests;
// gives an announced token its dialog and takes it back at the removal.
struct ScanFixture : ::testing::Test {
  sim::TokenRack rack;
  std::mutex mutex;
  std::vector<Message> messages;
  std::atomic<int> passwordAnswers{0};
  LRESULT passwordAnswer = platform::IDCANCEL;
  sim::TestWindow window{"CTokenWindow", [this](UINT m, WPARAM, LPARAM l) -> LRESULT {
                           auto* token = reinterpret_cast<CToken*>(l);
                           std::lock_guard lock(mutex);
                           messages.push_back({m, token->Serial()});
                           if (m == WM_TOKEN_ARRIVED) token->SetDialog(reinterpret_cast<CTokenDialog*>(&shownDialog));
                           if (m == WM_TOKEN_REMOVED) token->SetDialog(nullptr);
                           if (m == WM_TOKEN_PASSWORD) {
                             ++passwordAnswers;
                             return passwordAnswer;
                           }
                           return 0;
                         }};
  CTokenScan scan{window.Handle(), TokenScanOptions{milliseconds(50), TokenTimings{300, 300, 1000}}};

  std::vector<Message> Messages() {
    std::lock_guard lock(mutex);
    return messages;
  }
  // Waits for a whole pass that started after now.
  void WaitPasses(uint64_t n = 2) {
    uint64_t target = scan.Passes() + n;
    for (int i = 0; i < 200 && scan.Passes() < target; ++i) std::this_thread::sleep_for(milliseconds(10));
  }
};

}  // namespace

TEST_F(ScanFixture, AnnouncesANewTokenOnceAndRemovesItWhenUnplugged) {
  auto& token = rack.Plug(21, 4711);
  token.AddKeyset({0x1234500, 99});
  scan.StartTokenScan();
  WaitPasses(3);
  auto tokens = scan.Tokens();
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0]->Serial(), 4711u);
  EXPECT_EQ(tokens[0]->Count(), 1);
  auto seen = Messages();
  ASSERT_EQ(seen.size(), 1u);  // announced once, however many passes
  EXPECT_EQ(seen[0].message, WM_TOKEN_ARRIVED);
  EXPECT_EQ(seen[0].serial, 4711u);

  std::weak_ptr<CToken> gone = tokens[0];
  tokens.clear();
  rack.Unplug(21);
  WaitPasses(2);
  EXPECT_TRUE(scan.Tokens().empty());
  EXPECT_TRUE(gone.expired());  // no one else held it: deleted
  seen = Messages();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].message, WM_TOKEN_REMOVED);
  EXPECT_EQ(seen[1].serial, 4711u);
  scan.StopTokenScan();
}

TEST_F(ScanFixture, ATokenInUseOutlivesItsRemoval) {
  rack.Plug(22, 1);
  scan.ScanPass();
  auto held = scan.Tokens();
  ASSERT_EQ(held.size(), 1u);
  rack.Unplug(22);
  scan.ScanPass();
  EXPECT_TRUE(scan.Tokens().empty());
  EXPECT_EQ(scan.Find(held[0].get()), nullptr);
  // The user's reference still works: the object is alive, its commands fail cleanly.
  EXPECT_FALSE(held[0]->Ping());
}

TEST_F(ScanFixture, ATokenTheWindowStillShowsIsKeptWhenTheWindowsLoopHasEnded) {
  rack.Plug(24, 5);
  scan.ScanPass();
  std::weak_ptr<CToken> shown = scan.Tokens().at(0);
  // The loop has ended: the removal is answered without being handled, so the window still
  // lists the token (and reads it when it goes).
  window.Close();
  rack.Unplug(24);
  scan.ScanPass();
  EXPECT_FALSE(shown.expired());
  EXPECT_EQ(scan.Tokens().size(), 1u);
}

TEST_F(ScanFixture, ALockedTokenAsksForItsPasswordUntilCancelled) {
  auto& token = rack.Plug(23, 77);
  sim::Key16 key{}, verifier{};
  sim::Salt8 salt{};
  token.SetPassword(key, verifier, salt, true);
  passwordAnswer = platform::IDOK;  // the dialog ends with OK but the token stays locked: asked again
  std::thread cancelLater([this] {
    while (passwordAnswers < 3) std::this_thread::sleep_for(milliseconds(5));
    std::lock_guard lock(mutex);
    passwordAnswer = platform::IDCANCEL;
  });
  scan.ScanPass();
  cancelLater.join();
  auto seen = Messages();
  ASSERT_GE(seen.size(), 3u);
  for (auto& m : seen) EXPECT_EQ(m.message, WM_TOKEN_PASSWORD);
  // Never announced, and not asked again while it stays plugged in.
  size_t asked = seen.size();
  scan.ScanPass();
  EXPECT_EQ(Messages().size(), asked);
  EXPECT_EQ(scan.Tokens().size(), 1u);
}

TEST_F(ScanFixture, APortHeldByAnotherProgramIsRetriedUntilFree) {
  rack.Plug(24, 5);
  {
    CToken other(24);  // another program has the port
    scan.ScanPass();
    EXPECT_TRUE(scan.Tokens().empty());
  }
  scan.ScanPass();
  EXPECT_EQ(scan.Tokens().size(), 1u);
}

TEST_F(ScanFixture, SilentPortsAndPortSixteenGetNoToken) {
  rack.PlugSilent(25);
  rack.Plug(16, 8);
  scan.ScanPass();
  EXPECT_TRUE(scan.Tokens().empty());
  EXPECT_TRUE(rack.Token(16)->Requests().empty());  // never opened
  EXPECT_TRUE(Messages().empty());
}

TEST_F(ScanFixture, StopEndsTheThreadPromptly) {
  // A pass over twelve silent ports takes twelve Ping time-outs; a stop waits for one at most.
  for (unsigned port = 20; port < 32; ++port) rack.PlugSilent(port);
  auto start = steady_clock::now();
  scan.ScanPass();
  const auto pass = duration_cast<milliseconds>(steady_clock::now() - start).count();
  ASSERT_GE(pass, 1000);

  scan.StartTokenScan();
  WaitPasses(1);
  std::this_thread::sleep_for(milliseconds(250));  // a few ports into the second pass
  start = steady_clock::now();
  scan.StopTokenScan();
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 400) << "a pass takes " << pass;
  // A pass run by hand after the stop still goes over every port.
  start = steady_clock::now();
  scan.ScanPass();
  EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - start).count(), 1000);
}
