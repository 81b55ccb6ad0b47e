#pragma once
// Loads key-sets from the key database onto a token: the operator narrows the search by
// division, facility and seal, moves the wanted key-sets of the results into the selection
// and adds them to the token. Key-sets on the token or already selected show grey and
// cannot be selected.

#include <QDialog>
#include <memory>

#include "dialog_template.h"

class CKeysetDatasource;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class CAddKeysDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr ControlId IDC_ADD_TO_TOKEN{1, "IDOK"};
  static constexpr ControlId IDC_CANCEL{2, "IDCANCEL"};
  static constexpr ControlId IDC_SELECTION_LIST{206, "IDC_SELECTION_LIST"};
  static constexpr ControlId IDC_RESULT_LIST{207, "IDC_RESULT_LIST"};
  static constexpr ControlId IDC_SELECTED_COUNT{232, "IDC_SELECTED_COUNT"};
  static constexpr ControlId IDC_DIVISION{208, "IDC_DIVISION"};
  static constexpr ControlId IDC_FACILITY{209, "IDC_FACILITY"};
  static constexpr ControlId IDC_SEAL{210, "IDC_SEAL"};
  static constexpr ControlId IDC_NEWEST_ONLY{211, "IDC_NEWEST_ONLY"};
  static constexpr ControlId IDC_SELECT{212, "IDC_SELECT"};
  static constexpr ControlId IDC_DESELECT{213, "IDC_DESELECT"};
  static constexpr ControlId IDC_NO_AUTHENTICATION{214, "IDC_NO_AUTHENTICATION"};

  // Opens the dialog's own connection to the key database; throws the int -1 when it cannot.
  CAddKeysDialog(SharedTokenHold token, const KeyDatabaseSource& database, QWidget* owner = nullptr);
  ~CAddKeysDialog() override;

  void OnAddToToken();
  void OnCancel();
  void OnNewestOnly();
  void OnDivisionChange();
  void OnFacilityChange();
  void Search();
  void OnSelect();
  void OnDeselect();
  void reject() override { OnCancel(); }

  // Row callbacks of the queries.
  bool AddDivision(int id, const wchar_t* text);
  bool AddFacility(int id, const wchar_t* text);
  bool AddSeal(int id, const wchar_t* text);
  bool OnQueryRow(int id, const wchar_t* text);

 private:
  void OnInitDialog();
  void OnItemChanged(QTreeWidget* list);
  // A results row's key id; 0 makes it grey and unselectable.
  void SetRowData(QTreeWidgetItem* row, int keyId);
  void UpdateSelectedCount();

  std::unique_ptr<CKeysetDatasource> database_;
  SharedTokenHold token_;
  QPushButton* addToToken_;
  QTreeWidget* selection_;
  QTreeWidget* results_;
  QLabel* selectedCount_;
  QComboBox* division_;
  QComboBox* facility_;
  QComboBox* seal_;
  QCheckBox* newestOnly_;
  QPushButton* select_;
  QPushButton* deselect_;
  QCheckBox* noAuthentication_;
};
