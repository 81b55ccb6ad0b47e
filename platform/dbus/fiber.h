#pragma once
// A call that can be held on its own stack: its code runs on the thread that resumes it,
// and where it must wait, it gives the thread back and goes on later from the same place
// when resumed again. So a wait inside one call never sits on the stack under another's.

#include <cstddef>
#include <functional>
#include <memory>

namespace platform::dbus {

class Fiber {
 public:
  // body runs on the fiber's own stack; wake is asked to resume the fiber later, once
  // what it holds for has come (it must not resume it there and then). Null when no stack
  // can be mapped.
  static std::unique_ptr<Fiber> Make(std::function<void()> body, std::function<void()> wake);
  ~Fiber();  // only of a fiber not begun or ended: a held one owns live frames
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Runs the body until it holds or ends; true once it has ended.
  bool Resume();
  bool Ended() const { return ended_; }

  // The fiber whose own code runs now, if it may hold here: not from inside an event loop
  // that it started itself (that loop's other work sits on its stack).
  static Fiber* Holdable();
  // From the fiber's code: back to whoever resumed it, until it is resumed again.
  void Hold();
  // Asks for the fiber to be resumed.
  void Wake() { wake_(); }

 private:
  struct Context;
  Fiber(std::function<void()> body, std::function<void()> wake, void* stack);
  static void Enter(unsigned high, unsigned low);

  std::function<void()> body_;
  std::function<void()> wake_;
  Context* context_;
  Fiber* outer_ = nullptr;  // the fiber that resumed this one, if any
  int loopLevel_ = 0;       // the thread's event loop level when last resumed
  bool ended_ = false;
};

}  // namespace platform::dbus
