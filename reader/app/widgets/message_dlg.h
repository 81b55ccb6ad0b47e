#pragma once
// The reader's message dialog: a text, a dialog type and buttons, answered with the
// button pressed. It goes through the system's one message box, so tests answer it.

#include <QString>

enum class TMsgDlgType { Warning, Error, Information, Confirmation };

// Buttons are platform message-box button sets (MB_OK, MB_YESNO, MB_YESNOCANCEL).
// Returns IDOK, IDYES, IDNO or IDCANCEL.
int MessageDlg(const QString& text, TMsgDlgType type, unsigned buttons);
