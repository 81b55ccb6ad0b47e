#pragma once
// The edit box in which an operator types initials: only the letters A to Z get in,
// lower-case ones as capitals, and backspace deletes. Typed control characters, the
// clipboard keys among them, are swallowed. Text that arrives otherwise (set by the
// program, pasted from the context menu) is not filtered; the codec reads whatever is
// not A to Z as no letter.

#include <QLineEdit>

class TUserIdEdit : public QLineEdit {
  Q_OBJECT

 public:
  // Two characters at most; the operator dialog's boxes allow three.
  explicit TUserIdEdit(QWidget* owner = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
};
