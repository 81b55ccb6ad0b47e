#pragma once
// The Add Seal dialog: the serial number of a seal to add to a port, up to five digits.

#include <QLineEdit>
#include <QPushButton>
#include <cstdint>

#include "reader_dialog.h"

// The text with every blank deleted.
QString RemoveBlanks(const QString& text);

class TAddSealForm : public TReaderDialog {
  Q_OBJECT

 public:
  explicit TAddSealForm(QWidget* mainWindow);

  // Shown for the port of that text; true when OK closed it, SealNumber() then holds
  // the number (0 asks for an "Any Seal").
  bool Execute(const QString& portText);
  uint32_t SealNumber() const { return sealNumber_; }

  QLineEdit* SealNumberEdit;
  QPushButton* OkayButton;
  QPushButton* Button2;

 private:
  void OkayButtonClick();
  uint32_t sealNumber_ = 0;
};
