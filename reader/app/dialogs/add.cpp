#include "add.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "message_box.h"

QString RemoveBlanks(const QString& text) {
  QString result = text;
  result.remove(QLatin1Char(' '));
  return result;
}

TAddSealForm::TAddSealForm(QWidget* mainWindow) : TReaderDialog(mainWindow, 284, 88) {
  setObjectName("AddSealForm");
  setWindowTitle("Add Seal");
  auto* label = new QLabel("ZARN S/N:", this);
  SealNumberEdit = new QLineEdit(this);
  SealNumberEdit->setObjectName("SealNumberEdit");
  // Five optional digits; an empty position shows a blank.
  SealNumberEdit->setInputMask("00000; ");
  SealNumberEdit->setMaxLength(5);
  SealNumberEdit->setFixedWidth(80);
  OkayButton = new QPushButton("OK", this);
  OkayButton->setObjectName("OkayButton");
  OkayButton->setDefault(true);
  Button2 = new QPushButton("Cancel", this);
  Button2->setObjectName("Button2");

  auto* row = new QHBoxLayout;
  row->addWidget(label);
  row->addWidget(SealNumberEdit);
  row->addStretch();
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OkayButton);
  buttons->addWidget(Button2);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addStretch();
  layout->addLayout(buttons);

  connect(OkayButton, &QPushButton::clicked, this, &TAddSealForm::OkayButtonClick);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

bool TAddSealForm::Execute(const QString& portText) {
  SealNumberEdit->clear();
  setWindowTitle("Add Seal To " + portText);
  SealNumberEdit->setFocus();
  return exec() == QDialog::Accepted;
}

void TAddSealForm::OkayButtonClick() {
  bool ok = false;
  const uint32_t number = RemoveBlanks(SealNumberEdit->text()).toUInt(&ok);
  if (!ok) {
    platform::MessageBeep(platform::MB_OK);
    SealNumberEdit->setFocus();
    return;
  }
  sealNumber_ = number;
  accept();
}
