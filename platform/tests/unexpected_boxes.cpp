#include "unexpected_boxes.h"

#include <gtest/gtest.h>

namespace platform {

UnexpectedBoxesFail::UnexpectedBoxesFail() {
  previous_ = SetMessageBoxHandler([](const MessageBoxRequest& box) {
    ADD_FAILURE() << "a message box no test answers: [" << box.caption << "] " << box.text;
    return DefaultAnswer(box.flags);
  });
}

UnexpectedBoxesFail::~UnexpectedBoxesFail() { SetMessageBoxHandler(std::move(previous_)); }

}  // namespace platform
