#pragma once
// What the reader's small dialogs share: a fixed client size, and at every showing a
// place centred on the main window (which may leave a wide dialog sticking out).

#include <QDialog>

class TReaderDialog : public QDialog {
  Q_OBJECT

 public:
  TReaderDialog(QWidget* mainWindow, int clientWidth, int clientHeight, Qt::WindowFlags flags = {});

 protected:
  void showEvent(QShowEvent* event) override;
};

// Without the caption bar's buttons.
inline constexpr Qt::WindowFlags NoCaptionButtons =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
