#include "test_window.h"

namespace sim {

TestWindow::TestWindow(const std::string& className, platform::WindowProcedure procedure) {
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return stop_ || !work_.empty(); });
      if (work_.empty()) return;
      auto work = std::move(work_.front());
      work_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  });
  handle_ = platform::CreateWindowHandle(className, *this, std::move(procedure));
}

TestWindow::~TestWindow() {
  Close();
  platform::DestroyWindowHandle(handle_);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  ready_.notify_all();
  thread_.join();
}

void TestWindow::Deliver(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    work_.push_back(std::move(work));
  }
  ready_.notify_all();
}

}  // namespace sim
