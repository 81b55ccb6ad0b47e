#pragma once
// The token password dialogs: CPasswordDialog unlocks a locked token, CChangePasswordDialog
// sets a new password on an empty one. Both derive the token's key and verifier from the
// password and the token's salt; the password itself never reaches the token.

#include <QDialog>

#include "dialog_template.h"

class QLineEdit;
class QPushButton;
class QLabel;

class CPasswordDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr ControlId IDOK_BUTTON{1, "IDOK"};
  static constexpr ControlId IDCANCEL_BUTTON{2, "IDCANCEL"};
  static constexpr ControlId IDC_PASSWORD{201, "IDC_PASSWORD"};
  static constexpr ControlId IDC_SERIAL{202, "IDC_SERIAL"};

  CPasswordDialog(CToken* token, const KeyDatabaseSource& database, QWidget* owner = nullptr);
  ~CPasswordDialog() override;

  void OnOK();
  void OnCancel();
  void reject() override { OnCancel(); }

 private:
  void OnInitDialog();

  CToken* token_;
  const KeyDatabaseSource& database_;
  QPushButton* ok_;
  QLineEdit* password_;
  QLabel* serial_;
};

class CChangePasswordDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr ControlId IDOK_BUTTON{1, "IDOK"};
  static constexpr ControlId IDCANCEL_BUTTON{2, "IDCANCEL"};
  static constexpr ControlId IDC_SERIAL{202, "IDC_SERIAL"};
  static constexpr ControlId IDC_PASSWORD{214, "IDC_PASSWORD"};
  static constexpr ControlId IDC_CONFIRM{207, "IDC_CONFIRM"};

  CChangePasswordDialog(SharedTokenHold token, const KeyDatabaseSource& database, QWidget* owner = nullptr);
  ~CChangePasswordDialog() override;

  // Adds the token's row when it has none; false (after "Database error.") when the dialog
  // is not to open, as an initialisation that ends the dialog with 0.
  bool OnInitDialog();
  // Runs the dialog when its initialisation let it open; 0 otherwise.
  int Run();
  void OnOK();
  void OnCancel();
  void reject() override { OnCancel(); }

 private:
  SharedTokenHold token_;
  const KeyDatabaseSource& database_;
  QLineEdit* password_;
  QLineEdit* confirm_;
  QLabel* serial_;
};
