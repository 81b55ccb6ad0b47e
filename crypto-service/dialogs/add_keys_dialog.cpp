#include "add_keys_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <cstring>
#include <openssl/crypto.h>
#include <vector>

#include "keyset_datasource.h"
#include "message_box.h"
#include "token_dialog.h"

namespace {

constexpr int KeyIdRole = Qt::UserRole;
const QColor GreyText(200, 200, 200);

QTreeWidget* KeysetList() {
  auto* list = new QTreeWidget;
  list->setColumnCount(1);
  list->setHeaderLabels({"Key-set"});
  list->setColumnWidth(0, 200);
  list->setHeaderHidden(true);
  list->setRootIsDecorated(false);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setFrameShadow(QFrame::Sunken);
  return list;
}

// A sorted box keeps its entries in case-blind order after the pinned "<All>" at 0;
// its edit field takes no typed entries.
QComboBox* SortedCombo(bool withEdit) {
  auto* combo = new QComboBox;
  combo->setEditable(withEdit);
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setMaxVisibleItems(12);
  return combo;
}

void AddAll(QComboBox* combo) { combo->addItem("<All>", 0); }

void AddSorted(QComboBox* combo, const QString& text, int id) {
  int at = 1;
  while (at < combo->count() && QString::compare(combo->itemText(at), text, Qt::CaseInsensitive) <= 0) ++at;
  combo->insertItem(at, text, id);
}

int SelectedId(const QComboBox* combo) { return combo->currentIndex() < 0 ? -1 : combo->currentData().toInt(); }

QPushButton* Button(const char* text) { return new QPushButton(text); }

QCheckBox* MultiLineCheck(const char* text) {
  // A check box whose text wraps, as the template's several-line style does.
  auto* box = new QCheckBox;
  auto* label = new QLabel(text, box);
  label->setWordWrap(true);
  label->setAttribute(Qt::WA_TransparentForMouseEvents);
  return box;
}

void Stop(QWidget* owner, const char* text) {
  DialogMessage(owner, text, TokenCaption, platform::MB_ICONHAND | platform::MB_OK);
}

}  // namespace

CAddKeysDialog::CAddKeysDialog(SharedTokenHold token, const KeyDatabaseSource& database, QWidget* owner)
    : QDialog(owner),
      database_(std::make_unique<CKeysetDatasource>(database.dataSource.c_str(), database.user.c_str(),
                                                    database.password.c_str())),
      token_(std::move(token)) {
  DialogTemplate t(this, "Add Key-sets to Token", 331, 313);
  addToToken_ = t.Place(Button("Add To Token"), 126, 290, 96, 16, IDC_ADD_TO_TOKEN);
  addToToken_->setDefault(true);
  auto* cancel = t.Place(Button("Cancel"), 228, 290, 96, 16, IDC_CANCEL);
  selection_ = t.Place(KeysetList(), 168, 96, 156, 156, IDC_SELECTION_LIST);
  results_ = t.Place(KeysetList(), 6, 96, 156, 156, IDC_RESULT_LIST);
  selectedCount_ = t.Place(new QLabel("Selected key-sets: 0"), 174, 84, 125, 8, IDC_SELECTED_COUNT);
  t.Place(new QLabel("Search results:"), 12, 84, 48, 8, "ResultsLabel");
  t.Place(new QLabel("Division:"), 17, 23, 28, 8, "DivisionLabel");
  division_ = t.Place(SortedCombo(false), 54, 20, 168, 18, IDC_DIVISION);
  t.Place(new QLabel("Facility:"), 17, 41, 24, 8, "FacilityLabel");
  facility_ = t.Place(SortedCombo(true), 54, 39, 168, 18, IDC_FACILITY);
  t.Place(new QLabel("Seal:"), 17, 59, 17, 8, "SealLabel");
  seal_ = t.Place(SortedCombo(true), 54, 58, 78, 18, IDC_SEAL);
  auto* search = t.Place(new QGroupBox(" Database Search  "), 6, 6, 228, 72, "SearchGroup");
  newestOnly_ = t.Place(MultiLineCheck("Only the newest key-set of a seal"), 150, 56, 72, 18, IDC_NEWEST_ONLY);
  select_ = t.Place(Button("Select"), 66, 258, 96, 16, IDC_SELECT);
  deselect_ = t.Place(Button("Deselect"), 228, 258, 96, 16, IDC_DESELECT);
  noAuthentication_ = t.Place(MultiLineCheck("Do not add authentication keys"), 252, 30, 66, 30, IDC_NO_AUTHENTICATION);
  auto* line = t.Place(new QFrame, 6, 282, 318, 1, "Line");
  line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  auto* options = t.Place(new QGroupBox(" Options "), 240, 6, 84, 72, "OptionsGroup");
  for (QCheckBox* box : {newestOnly_, noAuthentication_}) {
    auto* label = box->findChild<QLabel*>();
    const int indicator = 16;
    label->setGeometry(indicator + 2, 0, box->width() - indicator - 2, box->height());
  }
  // The group boxes are drawn behind the controls they frame.
  search->lower();
  options->lower();

  connect(addToToken_, &QPushButton::clicked, this, &CAddKeysDialog::OnAddToToken);
  connect(cancel, &QPushButton::clicked, this, &CAddKeysDialog::OnCancel);
  connect(newestOnly_, &QCheckBox::clicked, this, &CAddKeysDialog::OnNewestOnly);
  connect(division_, &QComboBox::activated, this, &CAddKeysDialog::OnDivisionChange);
  connect(facility_, &QComboBox::activated, this, &CAddKeysDialog::OnFacilityChange);
  connect(seal_, &QComboBox::activated, this, &CAddKeysDialog::Search);
  connect(select_, &QPushButton::clicked, this, &CAddKeysDialog::OnSelect);
  connect(deselect_, &QPushButton::clicked, this, &CAddKeysDialog::OnDeselect);
  connect(selection_, &QTreeWidget::itemSelectionChanged, this, [this] { OnItemChanged(selection_); });
  connect(results_, &QTreeWidget::itemSelectionChanged, this, [this] { OnItemChanged(results_); });
  OnInitDialog();
}

CAddKeysDialog::~CAddKeysDialog() = default;

void CAddKeysDialog::OnInitDialog() {
  for (QPushButton* button : {addToToken_, select_, deselect_}) button->setEnabled(false);
  AddAll(division_);
  TQueryCallback<CAddKeysDialog> divisions(this, &CAddKeysDialog::AddDivision);
  database_->QueryDivisions(divisions);
  division_->setCurrentIndex(0);
  // Both options start on, and the first search already follows them.
  newestOnly_->setChecked(true);
  noAuthentication_->setChecked(true);
  OnDivisionChange();
  addToToken_->setFocus();
}

bool CAddKeysDialog::AddDivision(int id, const wchar_t* text) {
  AddSorted(division_, QString::fromWCharArray(text), id);
  return true;
}

bool CAddKeysDialog::AddFacility(int id, const wchar_t* text) {
  AddSorted(facility_, QString::fromWCharArray(text), id);
  return true;
}

bool CAddKeysDialog::AddSeal(int id, const wchar_t* text) {
  uint32_t serial = 0;
  AddSorted(seal_, database_->GetSerialNumber(serial, id) ? QString::number(serial) : QString::fromWCharArray(text),
            id);
  return true;
}

void CAddKeysDialog::OnDivisionChange() {
  facility_->clear();
  const int index = division_->currentIndex();
  if (index > 0) {
    AddAll(facility_);
    TQueryCallback<CAddKeysDialog> facilities(this, &CAddKeysDialog::AddFacility);
    database_->QueryFacilities(facilities, SelectedId(division_));
    facility_->setCurrentIndex(0);
    OnFacilityChange();
    return;
  }
  seal_->clear();
  AddAll(seal_);
  TQueryCallback<CAddKeysDialog> seals(this, &CAddKeysDialog::AddSeal);
  database_->QuerySeals(seals);
  seal_->setCurrentIndex(0);
  Search();
}

void CAddKeysDialog::OnFacilityChange() {
  seal_->clear();
  AddAll(seal_);
  if (division_->currentIndex() >= 0 && facility_->currentIndex() >= 0) {
    TQueryCallback<CAddKeysDialog> seals(this, &CAddKeysDialog::AddSeal);
    const bool byDivision = facility_->currentIndex() == 0;
    database_->QueryRequestedSeals(seals, SelectedId(division_), SelectedId(facility_), byDivision);
    seal_->setCurrentIndex(0);
    Search();
  }
}

void CAddKeysDialog::OnNewestOnly() {
  if (facility_->count() > 0)
    OnFacilityChange();
  else
    OnDivisionChange();
}

void CAddKeysDialog::Search() {
  results_->clear();
  const int index = seal_->currentIndex();
  if (index < 0) return;
  TQueryCallback<CAddKeysDialog> rows(this, &CAddKeysDialog::OnQueryRow);
  if (index > 0) {
    const int seal = SelectedId(seal_);
    database_->QueryKeysets(rows, &seal, 1, newestOnly_->isChecked());
    return;
  }
  if (seal_->count() < 2) return;
  std::vector<int> seals;
  for (int i = 1; i < seal_->count(); ++i) seals.push_back(seal_->itemData(i).toInt());
  database_->QueryKeysets(rows, seals.data(), int(seals.size()), newestOnly_->isChecked());
}

bool CAddKeysDialog::OnQueryRow(int id, const wchar_t* text) {
  bool selected = false;
  for (int i = 0; i < selection_->topLevelItemCount() && !selected; ++i)
    selected = selection_->topLevelItem(i)->data(0, KeyIdRole).toInt() == id;
  CToken* token = token_->Get();
  const bool onToken = token && token->FindKeysetByName(text, -1);
  auto* row = new QTreeWidgetItem(QStringList{QString::fromWCharArray(text)});
  results_->insertTopLevelItem(0, row);
  SetRowData(row, selected || onToken ? 0 : id);
  return true;
}

void CAddKeysDialog::SetRowData(QTreeWidgetItem* row, int keyId) {
  row->setData(0, KeyIdRole, keyId);
  if (keyId == 0) {
    row->setSelected(false);
    row->setFlags(row->flags() & ~Qt::ItemIsSelectable);
    row->setForeground(0, GreyText);
  } else {
    row->setFlags(row->flags() | Qt::ItemIsSelectable);
    row->setData(0, Qt::ForegroundRole, QVariant());
  }
}

void CAddKeysDialog::OnItemChanged(QTreeWidget* list) {
  const bool any = !list->selectedItems().isEmpty();
  (list == selection_ ? deselect_ : select_)->setEnabled(any);
}

void CAddKeysDialog::OnSelect() {
  for (int i = 0; i < results_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = results_->topLevelItem(i);
    if (!row->isSelected()) continue;
    auto* chosen = new QTreeWidgetItem(QStringList{row->text(0)});
    chosen->setData(0, KeyIdRole, row->data(0, KeyIdRole));
    selection_->insertTopLevelItem(0, chosen);
    SetRowData(row, 0);
  }
  if (selection_->topLevelItemCount() > 0) addToToken_->setEnabled(true);
  UpdateSelectedCount();
}

void CAddKeysDialog::OnDeselect() {
  while (!selection_->selectedItems().isEmpty()) delete selection_->selectedItems().first();
  Search();
  if (selection_->topLevelItemCount() == 0) addToToken_->setEnabled(false);
  UpdateSelectedCount();
}

void CAddKeysDialog::UpdateSelectedCount() {
  selectedCount_->setText(QString("Selected key-sets: %1").arg(selection_->topLevelItemCount()));
}

void CAddKeysDialog::OnAddToToken() {
  const int n = selection_->topLevelItemCount();
  CToken* token = token_->Get();
  if (!token) {
    Stop(this, "Crypto token error.");
    return;
  }
  if (n > token->Capacity() - token->Count()) {
    Stop(this, "There is not enough free memory space.");
    return;
  }
  hide();
  for (int i = 0; i < n; ++i) {
    uint8_t record[KeysetRecordSize] = {};
    uint32_t number = 0, time = 0;
    uint8_t* keys = record + 8;
    if (!database_->LoadKeysetById(selection_->topLevelItem(i)->data(0, KeyIdRole).toInt(), number, time, keys,
                                   keys + 16, keys + 32, keys + 48)) {
      Stop(this, "Database error.");
      break;
    }
    std::memcpy(record, &number, 4);
    std::memcpy(record + 4, &time, 4);
    if (noAuthentication_->isChecked()) std::memset(keys, 0xFF, 16);
    TokenStatus status = 0;
    token = token_->Get();  // a box above may have let the token go
    const bool answered = token && token->StoreKeyset(record, &status);
    OPENSSL_cleanse(record, sizeof record);
    if (!answered) {
      Stop(this, "Crypto token error.");
      break;
    }
    if (status & TokenError) {
      Stop(this, "Failed to store key-set on crypto token.");
      break;
    }
    if (CTokenDialog* dialog = token->Dialog()) dialog->InsertKeyset(token->Keysets().back());
  }
  done(platform::IDOK);
}

void CAddKeysDialog::OnCancel() { done(platform::IDCANCEL); }
