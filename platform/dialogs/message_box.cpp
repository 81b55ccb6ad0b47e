#include "message_box.h"

#include <cstdio>
#include <iterator>
#include <utility>

namespace platform {

namespace {

struct Slots {
  std::mutex mutex;
  MessageBoxHandler boxHandler, boxPresenter;
  MessageBeepHandler beepHandler, beepPresenter;
};

Slots& GetSlots() {
  static Slots slots;
  return slots;
}

template <typename F>
F Replace(F& slot, F value) {
  std::lock_guard lock(GetSlots().mutex);
  return std::exchange(slot, std::move(value));
}

}  // namespace

int DefaultAnswer(unsigned flags) {
  static const std::vector<int> kButtons[] = {
      {IDOK},        {IDOK, IDCANCEL},    {IDABORT, IDRETRY, IDIGNORE},       {IDYES, IDNO, IDCANCEL},
      {IDYES, IDNO}, {IDRETRY, IDCANCEL}, {IDCANCEL, IDTRYAGAIN, IDCONTINUE},
  };
  const unsigned type = flags & MB_TYPEMASK;
  const auto& buttons = type < std::size(kButtons) ? kButtons[type] : kButtons[0];
  const unsigned index = (flags & MB_DEFMASK) >> 8;
  // Windows falls back to the first button when the default names none.
  return index < buttons.size() ? buttons[index] : buttons[0];
}

int MessageBox(const std::string& text, const std::string& caption, unsigned flags, void* owner) {
  MessageBoxHandler answer;
  {
    std::lock_guard lock(GetSlots().mutex);
    answer = GetSlots().boxHandler ? GetSlots().boxHandler : GetSlots().boxPresenter;
  }
  const MessageBoxRequest request{text, caption, flags, owner};
  if (answer) return answer(request);
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  return DefaultAnswer(flags);
}

bool MessageBeep(unsigned type) {
  MessageBeepHandler beep;
  {
    std::lock_guard lock(GetSlots().mutex);
    beep = GetSlots().beepHandler ? GetSlots().beepHandler : GetSlots().beepPresenter;
  }
  if (beep) beep(type);
  return true;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  return Replace(GetSlots().boxHandler, std::move(handler));
}
MessageBeepHandler SetMessageBeepHandler(MessageBeepHandler handler) {
  return Replace(GetSlots().beepHandler, std::move(handler));
}
MessageBoxHandler SetMessageBoxPresenter(MessageBoxHandler presenter) {
  return Replace(GetSlots().boxPresenter, std::move(presenter));
}
MessageBeepHandler SetMessageBeepPresenter(MessageBeepHandler presenter) {
  return Replace(GetSlots().beepPresenter, std::move(presenter));
}

MessageBoxRecorder::MessageBoxRecorder() {
  previousBox_ = SetMessageBoxHandler([this](const MessageBoxRequest& request) {
    std::lock_guard lock(mutex_);
    boxes_.push_back(request);
    if (answers_.empty()) return DefaultAnswer(request.flags);
    const int result = answers_.front();
    answers_.erase(answers_.begin());
    return result;
  });
  previousBeep_ = SetMessageBeepHandler([this](unsigned type) {
    std::lock_guard lock(mutex_);
    beeps_.push_back(type);
  });
}

MessageBoxRecorder::~MessageBoxRecorder() {
  SetMessageBoxHandler(std::move(previousBox_));
  SetMessageBeepHandler(std::move(previousBeep_));
}

void MessageBoxRecorder::Answer(int result) {
  std::lock_guard lock(mutex_);
  answers_.push_back(result);
}

std::vector<MessageBoxRequest> MessageBoxRecorder::Boxes() const {
  std::lock_guard lock(mutex_);
  return boxes_;
}

std::vector<unsigned> MessageBoxRecorder::Beeps() const {
  std::lock_guard lock(mutex_);
  return beeps_;
}

void MessageBoxRecorder::Clear() {
  std::lock_guard lock(mutex_);
  boxes_.clear();
  beeps_.clear();
  answers_.clear();
}

}  // namespace platform
