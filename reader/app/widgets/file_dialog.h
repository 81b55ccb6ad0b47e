#pragma once
// The reader's file dialogs, through one function so that tests answer them.

#include <QString>
#include <functional>
#include <optional>

class QWidget;

struct TFileDialogRequest {
  enum class Kind { Open, Save };
  Kind kind = Kind::Open;
  QString title;
  // Pairs of description and patterns separated by "|", as "Text (*.txt)|*.txt|Any File (*.*)|*.*".
  QString filter;
  QString defaultExtension;  // without the dot; empty for none
  QString fileName;          // the suggestion
};

using TFileDialogHandler = std::function<std::optional<QString>(const TFileDialogRequest&)>;

// The chosen file, or nothing when the dialog was cancelled. An open dialog wants an
// existing file; a save dialog asks before overwriting and wants an existing folder.
std::optional<QString> RunFileDialog(QWidget* parent, const TFileDialogRequest& request);
// Returns the handler it replaced; an empty one brings the real dialog back.
TFileDialogHandler SetFileDialogHandler(TFileDialogHandler handler);
