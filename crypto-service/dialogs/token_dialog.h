#pragma once
// The token dialog: one per attached token, modeless. Shows the token's serial number, its
// key-sets (the last first) and the used and free places, and opens the token's
// management: password, key-sets from the key database, erase, security. Closing hides it.

#include <QDialog>

#include "dialog_template.h"

class QLabel;
class QPushButton;
class QTreeWidget;

class CTokenDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr ControlId IDC_CLOSE{1, "IDOK"};
  static constexpr ControlId IDC_KEYSET_LIST{203, "IDC_KEYSET_LIST"};
  static constexpr ControlId IDC_PASSWORD{204, "IDC_PASSWORD"};
  static constexpr ControlId IDC_SERIAL{202, "IDC_SERIAL"};
  static constexpr ControlId IDC_ADD{212, "IDC_ADD"};
  static constexpr ControlId IDC_DELETE_ALL{213, "IDC_DELETE_ALL"};
  static constexpr ControlId IDC_COUNT{209, "IDC_COUNT"};
  static constexpr ControlId IDC_SECURITY{214, "IDC_SECURITY"};

  // Created hidden; the token's dialog field points here from now on.
  CTokenDialog(CToken* token, const KeyDatabaseSource& database);
  ~CTokenDialog() override;

  void InsertKeyset(const KeysetInfo& keyset);

  // The token was removed: from now on nothing here touches it. Open modal dialogs of its
  // own end as Cancel; the dialog is deleted now, or when its running handler returns.
  void Dispose();

  void OnClose();
  void OnPassword();
  void OnAdd();
  void OnDeleteAll();
  void OnSecurity();
  void reject() override { OnClose(); }

 private:
  void OnInitDialog();
  void UpdateCountLine(CToken* token);
  // Keeps the dialog alive while a handler runs a modal loop.
  template <class Handler>
  void Run(Handler handler);

  SharedTokenHold token_;
  const KeyDatabaseSource& database_;
  QTreeWidget* list_;
  QLabel* serial_;
  QLabel* count_;
  QPushButton* password_;
  QPushButton* add_;
  QPushButton* deleteAll_;
  QPushButton* security_;
  int running_ = 0;
  bool disposed_ = false;
};
