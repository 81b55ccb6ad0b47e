#include "ipaddr.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <charconv>
#include <cstdio>

#include "message_box.h"
#include "message_dlg.h"

namespace {

// The whole field as a decimal number within [low, high].
bool ConvertPart(std::string_view field, int low, int high, int& value) {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty()) return false;
  auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  return error == std::errc() && end == field.data() + field.size() && value >= low && value <= high;
}

}  // namespace

bool ParseIPAddress(std::string& text) {
  std::string_view rest = text;
  int parts[4];
  for (int i = 0; i < 3; ++i) {
    const size_t dot = rest.find('.');
    if (dot == std::string_view::npos || !ConvertPart(rest.substr(0, dot), i == 0 ? 1 : 0, i == 0 ? 223 : 255, parts[i]))
      return false;
    rest.remove_prefix(dot + 1);
  }
  if (!ConvertPart(rest, 0, 255, parts[3])) return false;
  char normal[16];
  std::snprintf(normal, sizeof normal, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
  text = normal;
  return true;
}

TAddInterfaceForm::TAddInterfaceForm(QWidget* mainWindow) : TReaderDialog(mainWindow, 322, 91, NoCaptionButtons) {
  setObjectName("AddInterfaceForm");
  setWindowTitle("Add Network Interface");
  AddressEdit = new QLineEdit(this);
  AddressEdit->setObjectName("AddressEdit");
  OKButton = new QPushButton("OK", this);
  OKButton->setObjectName("OKButton");
  OKButton->setDefault(true);
  CancelButton = new QPushButton("Cancel", this);
  CancelButton->setObjectName("CancelButton");

  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel("IP Address:", this), 0, 0);
  grid->addWidget(AddressEdit, 0, 1);
  grid->addWidget(OKButton, 0, 2);
  grid->addWidget(new QLabel("(in dotted quad notation)", this), 1, 1);
  grid->addWidget(CancelButton, 1, 2);
  grid->setRowStretch(2, 1);

  connect(OKButton, &QPushButton::clicked, this, &TAddInterfaceForm::OKButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

bool TAddInterfaceForm::Execute() {
  AddressEdit->clear();
  AddressEdit->setFocus();
  return exec() == QDialog::Accepted;
}

void TAddInterfaceForm::OKButtonClick() {
  const QString typed = AddressEdit->text();
  std::string address = typed.toStdString();
  if (typed.isEmpty()) {
    MessageDlg("Please enter the IP address of the ZARN Network Interface.", TMsgDlgType::Information,
               platform::MB_OK);
  } else if (ParseIPAddress(address)) {
    AddressEdit->setText(QString::fromStdString(address));
    accept();
    return;
  } else {
    MessageDlg(typed + " is not a valid IP address.", TMsgDlgType::Error, platform::MB_OK);
  }
  AddressEdit->setFocus();
}
