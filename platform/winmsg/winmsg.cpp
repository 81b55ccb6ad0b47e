#include "winmsg.h"

#include <strings.h>

#include <future>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

// The answer to one sent message: given once, by the procedure or as 0 when the
// message can no longer be handled.
class Completion {
 public:
  std::future<LRESULT> Future() { return promise_.get_future(); }
  void Finish(LRESULT result) {
    std::call_once(once_, [&] { promise_.set_value(result); });
  }

 private:
  std::promise<LRESULT> promise_;
  std::once_flag once_;
};

// Finishes a send with 0 when the work that carries it is destroyed without running.
struct DroppedGuard {
  std::shared_ptr<Completion> completion;
  ~DroppedGuard() {
    if (completion) completion->Finish(0);
  }
};

struct MessageQueue::State {
  // Held while work is handed over, so the queue cannot go meanwhile; recursive for a
  // queue that runs work at once.
  std::recursive_mutex mutex;
  MessageQueue* queue;  // null once closed
  std::map<std::shared_ptr<Completion>, HWND> waiting;  // sends not answered yet, by window

  explicit State(MessageQueue* q) : queue(q) {}

  bool Post(std::function<void()> work) {
    std::lock_guard lock(mutex);
    if (!queue) return false;
    queue->Deliver(std::move(work));
    return true;
  }
  bool IsOwnerThread() {
    std::lock_guard lock(mutex);
    return queue && queue->IsOwnerThread();
  }
  // Carries a sent message to the owner thread; false when the queue is closed.
  bool Send(HWND window, std::shared_ptr<Completion> completion, std::function<LRESULT()> procedure) {
    std::lock_guard lock(mutex);
    if (!queue) return false;
    waiting.emplace(completion, window);
    // Copies of the work share one guard: only the last one to go can answer 0.
    auto guard = std::make_shared<DroppedGuard>();
    guard->completion = completion;
    queue->Deliver([guard, procedure = std::move(procedure)] { guard->completion->Finish(procedure()); });
    return true;
  }
  void Forget(const std::shared_ptr<Completion>& completion) {
    std::lock_guard lock(mutex);
    waiting.erase(completion);
  }
  // Ends the sends to one window, or to all when window is 0.
  void End(HWND window) {
    std::vector<std::shared_ptr<Completion>> ended;
    {
      std::lock_guard lock(mutex);
      for (auto it = waiting.begin(); it != waiting.end();) {
        if (window && it->second != window) {
          ++it;
          continue;
        }
        ended.push_back(it->first);
        it = waiting.erase(it);
      }
    }
    for (auto& c : ended) c->Finish(0);
  }
  void Close() {
    {
      std::lock_guard lock(mutex);
      queue = nullptr;
    }
    End(0);
  }
};

MessageQueue::MessageQueue() : state_(std::make_shared<State>(this)) {}

MessageQueue::~MessageQueue() { Close(); }

void MessageQueue::Close() { state_->Close(); }

std::shared_ptr<MessageQueue::State> StateOf(MessageQueue& queue) { return queue.state_; }

}  // namespace platform

namespace {

using platform::MessageQueue;

struct Window {
  std::string className;
  std::shared_ptr<MessageQueue::State> queue;
  platform::WindowProcedure procedure;
};

struct WindowTable {
  std::mutex mutex;
  std::map<HWND, std::shared_ptr<Window>> windows;  // in creation order
  HWND next = 1;
};

WindowTable& Table() {
  static WindowTable table;
  return table;
}

std::shared_ptr<Window> Find(HWND handle) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.windows.find(handle);
  return it == t.windows.end() ? nullptr : it->second;
}

// The procedure of a window still alive when its message comes up.
LRESULT Deliver(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  auto window = Find(handle);
  return window ? window->procedure(message, wParam, lParam) : 0;
}

}  // namespace

namespace platform {

HWND CreateWindowHandle(const std::string& className, MessageQueue& queue, WindowProcedure procedure) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  HWND handle = t.next++;
  t.windows[handle] = std::make_shared<Window>(Window{className, StateOf(queue), std::move(procedure)});
  return handle;
}

void DestroyWindowHandle(HWND handle) {
  std::shared_ptr<Window> window;
  {
    auto& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.windows.find(handle);
    if (it == t.windows.end()) return;
    window = std::move(it->second);
    t.windows.erase(it);
  }
  window->queue->End(handle);
}

}  // namespace platform

bool IsWindow(HWND window) { return Find(window) != nullptr; }

bool PostMessage(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  auto window = Find(handle);
  return window && window->queue->Post([=] { Deliver(handle, message, wParam, lParam); });
}

LRESULT SendMessage(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  auto window = Find(handle);
  if (!window) return 0;
  if (window->queue->IsOwnerThread()) return window->procedure(message, wParam, lParam);
  // The queued work holds the only other reference to the answer: work that is dropped
  // unrun (its thread's loop ended) answers 0 as it goes.
  auto completion = std::make_shared<platform::Completion>();
  auto answer = completion->Future();
  if (!window->queue->Send(handle, completion, [=] { return Deliver(handle, message, wParam, lParam); })) return 0;
  LRESULT result = answer.get();
  window->queue->Forget(completion);
  return result;
}

// Window class names compare without regard to case.
static bool SameClass(const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) == 0; }

HWND FindWindow(const std::string& className) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  for (auto& [handle, window] : t.windows)
    if (SameClass(window->className, className)) return handle;
  return 0;
}

HWND FindThreadWindow(const std::string& className) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  for (auto& [handle, window] : t.windows)
    if (SameClass(window->className, className) && window->queue->IsOwnerThread()) return handle;
  return 0;
}
