#include "fiber.h"

#include <QThread>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <ucontext.h>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define __SANITIZE_ADDRESS__ 1
#endif
#if __has_feature(thread_sanitizer) && !defined(__SANITIZE_THREAD__)
#define __SANITIZE_THREAD__ 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace platform::dbus {

namespace {

// As large as a thread's: a held call may open a dialog, whose loop runs on its stack.
// Only the pages it touches are ever backed by memory.
constexpr size_t StackSize = size_t(8) << 20;
// Below each stack, a guard that no frame steps over into the mapping below: code built
// without stack-clash probes may write a large frame's far end before any nearer page.
// 1 MiB, as the kernel keeps below a thread's own stack for the same reason.
constexpr size_t GuardSize = size_t(1) << 20;
constexpr size_t MappingSize = GuardSize + StackSize;
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t EntryFrames = 4 << 10;
#endif
// Stacks kept for the next calls, so that a call does not map and fault in a fresh one.
constexpr size_t KeptStacks = 8;

// The stacks of one thread's fibers, each a mapping whose lowest GuardSize bytes are the guard.
class StackPool {
 public:
  ~StackPool() {
    for (void* stack : free_) ::munmap(stack, MappingSize);
  }
  // Null when the process can map no more (its address space or its count of mappings).
  void* Take() {
    if (!free_.empty()) {
      void* stack = free_.back();
      free_.pop_back();
      return stack;
    }
    void* stack = ::mmap(nullptr, MappingSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return nullptr;
    if (::mprotect(stack, GuardSize, PROT_NONE) != 0) {
      ::munmap(stack, MappingSize);
      return nullptr;
    }
    return stack;
  }
  void Give(void* stack) {
    if (free_.size() < KeptStacks) free_.push_back(stack);
    else ::munmap(stack, MappingSize);
  }

 private:
  std::vector<void*> free_;
};

thread_local StackPool stacks;
thread_local Fiber* current = nullptr;

int LoopLevel() { return QThread::currentThread()->loopLevel(); }

}  // namespace

struct Fiber::Context {
  ucontext_t self;  // where the fiber goes on
  ucontext_t back;  // where its resumer goes on
  void* stack = nullptr;
#if defined(__SANITIZE_ADDRESS__)
  void* resumerFake = nullptr;
  void* fiberFake = nullptr;
  const void* backBottom = nullptr;
  size_t backSize = 0;
#endif
#if defined(__SANITIZE_THREAD__)
  void* tsan = nullptr;
  void* tsanBack = nullptr;
#endif
};

std::unique_ptr<Fiber> Fiber::Make(std::function<void()> body, std::function<void()> wake) {
  void* stack = stacks.Take();
  if (!stack) return nullptr;
  return std::unique_ptr<Fiber>(new Fiber(std::move(body), std::move(wake), stack));
}

Fiber::Fiber(std::function<void()> body, std::function<void()> wake, void* stack)
    : body_(std::move(body)), wake_(std::move(wake)), context_(new Context()) {
  context_->stack = stack;
  ::getcontext(&context_->self);
  context_->self.uc_stack.ss_sp = context_->stack;
  context_->self.uc_stack.ss_size = MappingSize;
  context_->self.uc_link = nullptr;
  const auto address = reinterpret_cast<uintptr_t>(this);
  ::makecontext(&context_->self, reinterpret_cast<void (*)()>(&Fiber::Enter), 2, unsigned(address >> 32),
                unsigned(address & 0xFFFFFFFFu));
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer clears the shadow of a context's whole stack on every switch to it, as told
  // by uc_stack, which the switch itself no longer reads. Frames that returned left their
  // shadow clear; only the top, where a fiber's entry never returns from, is cleared here.
  context_->self.uc_stack.ss_size = 0;
  ASAN_UNPOISON_MEMORY_REGION(static_cast<char*>(context_->stack) + MappingSize - EntryFrames, EntryFrames);
#endif
#if defined(__SANITIZE_THREAD__)
  context_->tsan = __tsan_create_fiber(0);
#endif
}

Fiber::~Fiber() {
#if defined(__SANITIZE_THREAD__)
  __tsan_destroy_fiber(context_->tsan);
#endif
  stacks.Give(context_->stack);
  delete context_;
}

void Fiber::Enter(unsigned high, unsigned low) {
  auto* fiber = reinterpret_cast<Fiber*>((uintptr_t(high) << 32) | low);
  Context* c = fiber->context_;
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(nullptr, &c->backBottom, &c->backSize);
#endif
  try {
    fiber->body_();
  } catch (...) {
    std::fputs("A served call ended by an exception.\n", stderr);
    std::abort();
  }
  fiber->ended_ = true;
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_start_switch_fiber(nullptr, c->backBottom, c->backSize);  // this stack is done with
#endif
#if defined(__SANITIZE_THREAD__)
  __tsan_switch_to_fiber(c->tsanBack, 0);
#endif
  ::setcontext(&c->back);
}

bool Fiber::Resume() {
  if (ended_) return true;
  outer_ = current;
  current = this;
  loopLevel_ = LoopLevel();
  Context* c = context_;
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_start_switch_fiber(&c->resumerFake, static_cast<char*>(c->stack), MappingSize);
#endif
#if defined(__SANITIZE_THREAD__)
  c->tsanBack = __tsan_get_current_fiber();
  __tsan_switch_to_fiber(c->tsan, 0);
#endif
  ::swapcontext(&c->back, &c->self);
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(c->resumerFake, nullptr, nullptr);
#endif
  current = outer_;
  return ended_;
}

void Fiber::Hold() {
  Context* c = context_;
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_start_switch_fiber(&c->fiberFake, c->backBottom, c->backSize);
#endif
#if defined(__SANITIZE_THREAD__)
  __tsan_switch_to_fiber(c->tsanBack, 0);
#endif
  ::swapcontext(&c->self, &c->back);
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_finish_switch_fiber(c->fiberFake, &c->backBottom, &c->backSize);
#endif
}

Fiber* Fiber::Holdable() { return current && current->loopLevel_ == LoopLevel() ? current : nullptr; }

}  // namespace platform::dbus
