// Window messages between threads over the Qt event loop: answers, and no sender left
// waiting when a window or its thread's loop goes.
#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "qt_message_queue.h"

using namespace std::chrono;

namespace {

constexpr UINT WM_TEST = WM_USER + 7;

// A window on the test's main thread whose procedure answers lParam + 1.
struct MainThreadWindow : QObject {
  platform::QtMessageQueue queue{this};
  HWND handle = platform::CreateWindowHandle("TestMain", queue, [](UINT m, WPARAM, LPARAM l) -> LRESULT {
    return m == WM_TEST ? l + 1 : 0;
  });
  ~MainThreadWindow() override { platform::DestroyWindowHandle(handle); }
};

// Waits for a flag while the main thread's events are not processed.
bool WaitFor(const std::atomic<bool>& flag, milliseconds limit = milliseconds(3000)) {
  for (auto end = steady_clock::now() + limit; steady_clock::now() < end;) {
    if (flag) return true;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return flag;
}

}  // namespace

TEST(WindowMessages, SendCarriesTheAnswerAcrossThreadsAndRunsInlineOnTheOwner) {
  MainThreadWindow window;
  EXPECT_EQ(SendMessage(window.handle, WM_TEST, 0, 41), 42);  // the owner's own thread
  std::atomic<LRESULT> answer{0};
  std::atomic<bool> done{false};
  std::thread sender([&] {
    answer = SendMessage(window.handle, WM_TEST, 0, 99);
    done = true;
  });
  for (auto end = steady_clock::now() + seconds(3); !done && steady_clock::now() < end;)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  sender.join();
  EXPECT_EQ(answer, 100);
  EXPECT_EQ(FindThreadWindow("TestMain"), window.handle);
}

TEST(WindowMessages, SendToAWindowDestroyedWhileItsThreadIsBusyEndsWithZero) {
  auto window = std::make_unique<MainThreadWindow>();
  HWND handle = window->handle;
  std::atomic<bool> done{false};
  std::atomic<LRESULT> answer{-1};
  std::thread sender([&] {
    answer = SendMessage(handle, WM_TEST, 0, 1);
    done = true;
  });
  std::this_thread::sleep_for(milliseconds(50));  // the send waits: this thread runs no events
  EXPECT_FALSE(done);
  platform::DestroyWindowHandle(handle);
  EXPECT_TRUE(WaitFor(done));
  sender.join();
  EXPECT_EQ(answer, 0);
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_FALSE(PostMessage(handle, WM_TEST, 0, 0));
  EXPECT_EQ(SendMessage(handle, WM_TEST, 0, 0), 0);
}

TEST(WindowMessages, QueueGoingWhileOthersPostAndSendHarmsNobody) {
  for (int round = 0; round < 20; ++round) {
    auto window = std::make_unique<MainThreadWindow>();
    HWND handle = window->handle;
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i)
      senders.emplace_back([&, i] {
        while (!stop) i % 2 ? (void)PostMessage(handle, WM_TEST, 0, 0) : (void)SendMessage(handle, WM_TEST, 0, 0);
      });
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    window.reset();  // the queue goes with the window object; queued work is dropped
    QCoreApplication::processEvents();
    stop = true;
    for (auto& t : senders) t.join();
    EXPECT_FALSE(PostMessage(handle, WM_TEST, 0, 0));
  }
}

// Last: the application's loop ends here for good.
TEST(WindowMessages, ZZ_SendersAreNotLeftWaitingWhenTheLoopEnds) {
  MainThreadWindow window;
  std::atomic<bool> quitting{false}, done{false};
  std::atomic<int> answered{0};
  std::thread scan([&] {
    // As a scan thread does: keeps sending until the window stops answering.
    while (SendMessage(window.handle, WM_TEST, 0, 1) == 2) ++answered;
    done = true;
  });
  QTimer::singleShot(100, [&] {
    quitting = true;
    QCoreApplication::quit();
  });
  QCoreApplication::exec();
  // As a program's end does: wait for the thread while no loop runs.
  EXPECT_TRUE(WaitFor(done));
  if (!done) {
    scan.detach();
    FAIL() << "the sender still waits for a loop that ended";
  }
  scan.join();
  EXPECT_GT(answered, 0);
  EXPECT_FALSE(PostMessage(window.handle, WM_TEST, 0, 0));
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
