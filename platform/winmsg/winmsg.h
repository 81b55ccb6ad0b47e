#pragma once
// Windows and their messages: a window has a class name, a thread and a procedure; a
// posted message runs on the window's thread later, a sent one runs there while the
// sender waits. The lower layers use this without knowing the program's event loop,
// which each program supplies as the window's MessageQueue.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

using HWND = uintptr_t;  // 0 is no window; a destroyed window's handle is never reused
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_USER = 0x400;

namespace platform {

// Delivers work to the thread that owns a window. Safe to reach from any thread until
// it is closed: closing ends every send still waiting on it with 0 and makes later
// posts fail, so nobody waits on a thread that no longer runs its loop.
class MessageQueue {
 public:
  MessageQueue();
  virtual ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  virtual bool IsOwnerThread() const = 0;
  // The owner's loop has ended or the queue is going: called by the owner, once or more.
  void Close();

  struct State;

 protected:
  // Hands work to the owner thread's loop; work that is dropped unrun is destroyed.
  virtual void Deliver(std::function<void()> work) = 0;

 private:
  friend struct State;
  std::shared_ptr<State> state_;

  friend std::shared_ptr<State> StateOf(MessageQueue& queue);
};

using WindowProcedure = std::function<LRESULT(UINT message, WPARAM wParam, LPARAM lParam)>;

// Makes a top-level window known; the queue stays usable through the handle only until
// it is closed or destroyed.
HWND CreateWindowHandle(const std::string& className, MessageQueue& queue, WindowProcedure procedure);
// Sends still waiting for the window end with 0.
void DestroyWindowHandle(HWND window);

}  // namespace platform

bool IsWindow(HWND window);
// False for a window that does not exist (any more) or whose thread no longer takes messages.
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs the procedure on the window's thread and returns its result; 0 at once for a
// window that does not exist or whose thread no longer runs its loop, and 0 when the
// window is destroyed or its loop ends before it handles the message.
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The first top-level window of the class (its name in any case), of any thread; 0 when
// there is none.
HWND FindWindow(const std::string& className);
// The same among the windows of the calling thread only.
HWND FindThreadWindow(const std::string& className);
