#include "winmsg.h"

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct Window {
  std::string className;
  platform::MessageQueue* queue;
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
  t.windows[handle] = std::make_shared<Window>(Window{className, &queue, std::move(procedure)});
  return handle;
}

void DestroyWindowHandle(HWND window) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  t.windows.erase(window);
}

}  // namespace platform

bool IsWindow(HWND window) { return Find(window) != nullptr; }

bool PostMessage(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  auto window = Find(handle);
  if (!window) return false;
  window->queue->Post([=] { Deliver(handle, message, wParam, lParam); });
  return true;
}

LRESULT SendMessage(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  auto window = Find(handle);
  if (!window) return 0;
  if (window->queue->IsOwnerThread()) return window->procedure(message, wParam, lParam);
  auto done = std::make_shared<std::promise<LRESULT>>();
  auto result = done->get_future();
  window->queue->Post([=] { done->set_value(Deliver(handle, message, wParam, lParam)); });
  try {
    return result.get();
  } catch (const std::future_error&) {
    return 0;  // the window's thread dropped the message: it is going away
  }
}

HWND FindWindow(const std::string& className) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  for (auto& [handle, window] : t.windows)
    if (window->className == className) return handle;
  return 0;
}

HWND FindThreadWindow(const std::string& className) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  for (auto& [handle, window] : t.windows)
    if (window->className == className && window->queue->IsOwnerThread()) return handle;
  return 0;
}
