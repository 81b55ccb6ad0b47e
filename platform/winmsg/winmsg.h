#pragma once
// Windows and their messages: a window has a class name, a thread and a procedure; a
// posted message runs on the window's thread later, a sent one runs there while the
// sender waits. The lower layers use this without knowing the program's event loop,
// which each program supplies as the window's MessageQueue.

#include <cstdint>
#include <functional>
#include <string>

using HWND = uintptr_t;  // 0 is no window; a destroyed window's handle is never reused
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

inline constexpr UINT WM_USER = 0x400;

namespace platform {

// Delivers work to the thread that owns a window.
class MessageQueue {
 public:
  virtual ~MessageQueue() = default;
  virtual void Post(std::function<void()> work) = 0;
  virtual bool IsOwnerThread() const = 0;
};

using WindowProcedure = std::function<LRESULT(UINT message, WPARAM wParam, LPARAM lParam)>;

// Makes a top-level window known; queue must outlive it.
HWND CreateWindowHandle(const std::string& className, MessageQueue& queue, WindowProcedure procedure);
void DestroyWindowHandle(HWND window);

}  // namespace platform

bool IsWindow(HWND window);
// False for a window that does not exist (any more).
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs the procedure on the window's thread and returns its result; 0 for a window
// that does not exist or is destroyed before it handles the message.
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The first top-level window of the class, of any thread; 0 when there is none.
HWND FindWindow(const std::string& className);
// The same among the windows of the calling thread only.
HWND FindThreadWindow(const std::string& className);
