#include "reader_dialog.h"

TReaderDialog::TReaderDialog(QWidget* mainWindow, int clientWidth, int clientHeight, Qt::WindowFlags flags)
    : QDialog(mainWindow, flags ? flags : Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setFont(QFont("Tahoma", 8));
  setFixedSize(clientWidth, clientHeight);
  setModal(true);
}

void TReaderDialog::showEvent(QShowEvent* event) {
  if (QWidget* main = parentWidget()) {
    const QRect outer = main->frameGeometry(), own = frameGeometry();
    // Integer division rounds toward zero, as the placement asks.
    move(outer.left() + (outer.width() - own.width()) / 2, outer.top() + (outer.height() - own.height()) / 2);
  }
  QDialog::showEvent(event);
}
