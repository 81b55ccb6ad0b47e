#pragma once
// For test programs that install the program's real message boxes: a box that no test
// answers (by a MessageBoxRecorder or a handler of its own) would wait for a click that
// never comes. While this lives, such a box fails the running test at once, naming its
// caption and text, and is answered with its default button.

#include "message_box.h"

namespace platform {

class UnexpectedBoxesFail {
 public:
  UnexpectedBoxesFail();
  ~UnexpectedBoxesFail();
  UnexpectedBoxesFail(const UnexpectedBoxesFail&) = delete;
  UnexpectedBoxesFail& operator=(const UnexpectedBoxesFail&) = delete;

 private:
  MessageBoxHandler previous_;
};

}  // namespace platform
