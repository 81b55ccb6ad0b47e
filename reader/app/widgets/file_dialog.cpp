#include "file_dialog.h"

#include <QFileDialog>
#include <QRegularExpression>
#include <QStringList>
#include <utility>

namespace {

TFileDialogHandler handler;

// "*.*" would hide names without a dot; "*" shows every file, as the pattern meant.
QString QtPattern(const QString& pattern) { return pattern == "*.*" ? QStringLiteral("*") : pattern; }

// "Text (*.txt)|*.txt;*.text" becomes Qt's "Text (*.txt *.text)".
QStringList QtFilters(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString text = parts[i];
    if (const qsizetype open = text.lastIndexOf(" ("); open > 0) text.truncate(open);
    QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
    for (QString& pattern : patterns) pattern = QtPattern(pattern.trimmed());
    filters << text + " (" + patterns.join(' ') + ")";
  }
  return filters;
}

// The extension a name gets when typed without one: that of the chosen filter when it
// names exactly one, else the request's own.
QString SuffixFor(const QString& qtFilter, const QString& fallback) {
  static const QRegularExpression one(R"(\(\*\.([^*?.\s\[\]]+)\)$)");
  const QRegularExpressionMatch match = one.match(qtFilter);
  return match.hasMatch() ? match.captured(1) : fallback;
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
    if (!request.defaultExtension.isEmpty())
      QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
        dialog.setDefaultSuffix(SuffixFor(filter, request.defaultExtension));
      });
  }
  if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

TFileDialogHandler SetFileDialogHandler(TFileDialogHandler newHandler) {
  return std::exchange(handler, std::move(newHandler));
}
