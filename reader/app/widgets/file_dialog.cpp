#include "file_dialog.h"

#include <QFileDialog>
#include <QStringList>
#include <utility>

namespace {

TFileDialogHandler handler;

// "Text (*.txt)|*.txt" becomes Qt's "Text (*.txt)".
QStringList QtFilters(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString text = parts[i];
    if (const qsizetype open = text.lastIndexOf(" ("); open > 0) text.truncate(open);
    filters << text + " (" + QString(parts[i + 1]).replace(';', ' ') + ")";
  }
  return filters;
}

}  // namespace

std::optional<QString> RunFileDialog(QWidget* parent, const TFileDialogRequest& request) {
  if (handler) return handler(request);
  QFileDialog dialog(parent, request.title);
  dialog.setNameFilters(QtFilters(request.filter));
  dialog.setDefaultSuffix(request.defaultExtension);
  if (request.kind == TFileDialogRequest::Kind::Open) {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
  } else {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
  }
  if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

TFileDialogHandler SetFileDialogHandler(TFileDialogHandler newHandler) {
  return std::exchange(handler, std::move(newHandler));
}
