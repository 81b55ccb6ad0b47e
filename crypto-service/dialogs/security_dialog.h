#pragma once
// The security settings of a token: its boot-loader password, which the dialog sets on
// the token and stores, and its firmware authentication, a key the token answers with a
// MAC; the tested pair is stored on closing when the operator wants it.

#include <QDialog>
#include <QObject>
#include <QValidator>
#include <array>
#include <memory>

#include "dialog_template.h"

class CKeysetDatasource;
class QLabel;
class QLineEdit;

// The filter of the password groups: hexadecimal digits only, lower-case ones raised;
// the editing control characters, Delete and the dialog's keys (Tab, Shift+Tab, Esc,
// Enter) pass. Pasted text passes it as Ctrl+V; HexGroupValidator holds it to the rule.
class HexEditProc : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override;
};

// What a password group takes of pasted or dropped text, of any paste the box offers:
// what typing would take, hexadecimal digits with lower-case ones raised, and nothing of
// a text that holds anything else. The box's length of four cuts off what is too long.
class HexGroupValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& position) const override;
};

class CSecurityDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr ControlId IDC_SERIAL{202, "IDC_SERIAL"};
  static constexpr ControlId IDC_CLOSE{2, "IDCANCEL"};
  static constexpr ControlId IDC_SET{231, "IDC_SET"};
  static constexpr ControlId IDC_TEST{232, "IDC_TEST"};
  // The first id of each row of groups; objectNames add "_n" for group n (from 1).
  static constexpr ControlId IDC_OLD_PASSWORD{215, "IDC_OLD_PASSWORD"};
  static constexpr ControlId IDC_NEW_PASSWORD{249, "IDC_NEW_PASSWORD"};
  static constexpr ControlId IDC_KEY{233, "IDC_KEY"};
  static constexpr ControlId IDC_RESULT{241, "IDC_RESULT"};
  static constexpr ControlId IDC_STORED_MAC{265, "IDC_STORED_MAC"};

  // Connects its own key database connection; throws the int -1 when it cannot.
  CSecurityDialog(SharedTokenHold token, const KeyDatabaseSource& database, QWidget* owner = nullptr);
  ~CSecurityDialog() override;

  // Loads the token's row (adding it when missing); false after "Database error.", and the
  // dialog is never shown.
  bool OnInitDialog();
  // Runs the dialog when its initialisation let it open; 0 otherwise.
  int Run();
  void OnSetBslPassword();
  void OnTest();
  void OnClose();
  void reject() override { OnClose(); }

 private:
  using Groups = std::array<QLineEdit*, 16>;
  void ReadGroups(const QLineEdit* const* edits, int count, uint8_t* bytes) const;
  void WriteGroups(QLineEdit* const* edits, int count, const uint8_t* bytes) const;
  void Warn(const char* text);

  std::unique_ptr<CKeysetDatasource> database_;
  SharedTokenHold token_;
  uint32_t serialNumber_ = 0;
  uint8_t storedKey_[16] = {}, storedMac_[16] = {};
  uint8_t currentKey_[16] = {}, currentMac_[16] = {};
  QLabel* serial_;
  Groups old_{}, new_{};
  std::array<QLineEdit*, 8> key_{}, result_{}, storedMacEdits_{};
  HexEditProc hexFilter_;
  HexGroupValidator hexValidator_;
};
