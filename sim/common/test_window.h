#pragma once
// A window of the test's own, with a thread of its own that handles its messages in
// order, for code that posts or sends to a program's window.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "winmsg.h"

namespace sim {

class TestWindow : public platform::MessageQueue {
 public:
  TestWindow(const std::string& className, platform::WindowProcedure procedure);
  ~TestWindow() override;
  HWND Handle() const { return handle_; }

  bool IsOwnerThread() const override { return std::this_thread::get_id() == thread_.get_id(); }

 protected:
  void Deliver(std::function<void()> work) override;

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> work_;
  bool stop_ = false;
  std::thread thread_;
  HWND handle_ = 0;
};

}  // namespace sim
