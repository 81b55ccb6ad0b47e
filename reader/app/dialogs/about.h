#pragma once
// The About box: the program's name, version and rights notice in a steel-blue frame.

#include <QPushButton>

#include "reader_dialog.h"

class TAboutForm : public TReaderDialog {
  Q_OBJECT

 public:
  explicit TAboutForm(QWidget* mainWindow);

  QPushButton* Button1;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
