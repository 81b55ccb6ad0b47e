#include "initials_edit.h"

#include <QInputMethodEvent>
#include <QKeyEvent>

namespace {

// A typed character as the filter sees it: a-z become A-Z, anything else but A-Z is
// swallowed.
QString Filtered(const QString& text) {
  QString out;
  for (QChar c : text) {
    if (c >= u'a' && c <= u'z') c = QChar(c.unicode() - 32);
    if (c >= u'A' && c <= u'Z') out += c;
  }
  return out;
}

}  // namespace

TUserIdEdit::TUserIdEdit(QWidget* owner) : QLineEdit(owner) {
  setMaxLength(2);
  setInputMethodHints(Qt::ImhUppercaseOnly | Qt::ImhLatinOnly | Qt::ImhNoPredictiveText);
}

void TUserIdEdit::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers mods = event->modifiers();
  const bool control = mods.testFlag(Qt::ControlModifier) && !mods.testFlag(Qt::AltModifier);
  const int key = event->key();
  // Keys that are no character (arrows, Delete, Home, the dialog's Return and Escape)
  // go on as they are, and backspace is the one control character let through.
  if (key == Qt::Key_Backspace && !control) return QLineEdit::keyPressEvent(event);
  // Ctrl+H is the backspace character itself (8): it deletes as backspace does.
  if (control && key == Qt::Key_H) {
    QKeyEvent backspace(event->type(), Qt::Key_Backspace, Qt::NoModifier, QString(QChar(8)),
                        event->isAutoRepeat(), ushort(event->count()));
    QLineEdit::keyPressEvent(&backspace);
    return event->setAccepted(backspace.isAccepted());
  }
  const bool letterKey = key >= Qt::Key_A && key <= Qt::Key_Z;
  // With Ctrl a letter or backspace is a control character (Ctrl+C is 3, Ctrl+V 22...),
  // which Qt hands over as a shortcut with no text: swallowed like any character.
  if (control && (letterKey || key == Qt::Key_Backspace || !event->text().isEmpty())) return event->accept();
  const QString text = event->text();
  const bool character = !text.isEmpty() && text.at(0).isPrint();
  if (!character) return QLineEdit::keyPressEvent(event);
  const QString kept = Filtered(text);
  if (kept.isEmpty()) return event->accept();
  QKeyEvent typed(event->type(), key, mods & ~Qt::ShiftModifier, kept, event->isAutoRepeat(), ushort(event->count()));
  QLineEdit::keyPressEvent(&typed);
  event->setAccepted(typed.isAccepted());
}

void TUserIdEdit::inputMethodEvent(QInputMethodEvent* event) {
  // Characters an input method commits are typed characters too.
  QInputMethodEvent filtered(QString(), {});
  filtered.setCommitString(Filtered(event->commitString()), event->replacementStart(), event->replacementLength());
  QLineEdit::inputMethodEvent(&filtered);
  event->accept();
}
