#pragma once
// The one message box of the system, with the Win32 flags and results the callers were
// written against. Texts are UTF-8.
//
// Who answers a box, first match wins:
//   1. the handler: what a test or a silent session installs to record boxes and answer them;
//   2. the presenter: the program's real box (the Qt programs install one at start-up);
//   3. nobody: the box is written to stderr and answered with its default button.
// Beeps take the same way. This layer knows nothing of any window toolkit.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// Buttons.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
constexpr unsigned MB_YESNOCANCEL = 0x3;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_RETRYCANCEL = 0x5;
constexpr unsigned MB_CANCELTRYCONTINUE = 0x6;
// Icons.
constexpr unsigned MB_ICONHAND = 0x10;
constexpr unsigned MB_ICONSTOP = 0x10;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONASTERISK = 0x40;
constexpr unsigned MB_ICONINFORMATION = 0x40;
// Default button, modality and the rest.
constexpr unsigned MB_DEFBUTTON1 = 0x000;
constexpr unsigned MB_DEFBUTTON2 = 0x100;
constexpr unsigned MB_DEFBUTTON3 = 0x200;
constexpr unsigned MB_DEFBUTTON4 = 0x300;
constexpr unsigned MB_APPLMODAL = 0x0000;
constexpr unsigned MB_SYSTEMMODAL = 0x1000;
constexpr unsigned MB_TASKMODAL = 0x2000;
constexpr unsigned MB_SETFOREGROUND = 0x10000;
constexpr unsigned MB_TOPMOST = 0x40000;
constexpr unsigned MB_TYPEMASK = 0xF;
constexpr unsigned MB_ICONMASK = 0xF0;
constexpr unsigned MB_DEFMASK = 0xF00;
// MessageBeep's plain beep.
constexpr unsigned MB_SIMPLEBEEP = 0xFFFFFFFF;

// Results.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;

struct MessageBoxRequest {
  std::string text;
  std::string caption;
  unsigned flags = MB_OK;
  void* owner = nullptr;  // the owner window, or null for none
};

using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;
using MessageBeepHandler = std::function<void(unsigned type)>;

// Shows the box modally and returns the button pressed (IDOK, IDYES, ...).
int MessageBox(const std::string& text, const std::string& caption, unsigned flags = MB_OK,
               void* owner = nullptr);
// The sound of a box type (MB_OK, MB_ICONERROR, ...) or MB_SIMPLEBEEP.
bool MessageBeep(unsigned type);

// The button that a box of these flags has as its default (MB_DEFBUTTONn of its buttons).
int DefaultAnswer(unsigned flags);

// Each returns the one it replaced; an empty function removes it.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
MessageBeepHandler SetMessageBeepHandler(MessageBeepHandler handler);
MessageBoxHandler SetMessageBoxPresenter(MessageBoxHandler presenter);
MessageBeepHandler SetMessageBeepPresenter(MessageBeepHandler presenter);

// Installs itself as the handler for its lifetime and restores the previous one after.
// Records every box and beep, from any thread, and answers from the queued answers,
// then with each box's default button.
class MessageBoxRecorder {
 public:
  MessageBoxRecorder();
  ~MessageBoxRecorder();
  MessageBoxRecorder(const MessageBoxRecorder&) = delete;
  MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

  void Answer(int result);
  std::vector<MessageBoxRequest> Boxes() const;
  std::vector<unsigned> Beeps() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<MessageBoxRequest> boxes_;
  std::vector<unsigned> beeps_;
  std::vector<int> answers_;
  MessageBoxHandler previousBox_;
  MessageBeepHandler previousBeep_;
};

}  // namespace platform
