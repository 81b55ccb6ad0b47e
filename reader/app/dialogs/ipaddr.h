#pragma once
// The Add Network Interface dialog and the check of an IPv4 address in dotted quad.

#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "reader_dialog.h"

// True when text is an address whose first part is 1 to 223 and the others 0 to 255,
// each part a whole decimal number; text is then rewritten in normal form (no leading
// zeros). A false result leaves text as it was.
bool ParseIPAddress(std::string& text);

class TAddInterfaceForm : public TReaderDialog {
  Q_OBJECT

 public:
  explicit TAddInterfaceForm(QWidget* mainWindow);

  // True when OK closed it; AddressEdit then holds the address in normal form.
  bool Execute();

  QLineEdit* AddressEdit;
  QPushButton* OKButton;
  QPushButton* CancelButton;

 private:
  void OKButtonClick();
};
