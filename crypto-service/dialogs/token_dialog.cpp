#include "token_dialog.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>

#include "add_keys_dialog.h"
#include "keyset_time.h"
#include "message_box.h"
#include "password_dialogs.h"
#include "security_dialog.h"
#include "unicode.h"

namespace {

struct Column {
  const char* header;
  int width;
  Qt::Alignment alignment;
};
constexpr Column Columns[] = {
    {"Key-set", 200, Qt::AlignLeft},         {"Authentication", 65, Qt::AlignHCenter},
    {"Authorization", 65, Qt::AlignHCenter}, {"Identification", 65, Qt::AlignHCenter},
    {"Decryption", 65, Qt::AlignHCenter},
};

QPushButton* Button(const char* text) { return new QPushButton(text); }

}  // namespace

CTokenDialog::CTokenDialog(CToken* token, const KeyDatabaseSource& database)
    : token_(std::make_shared<TokenHold>(token)), database_(database) {
  DialogTemplate t(this, TokenCaption, 331, 210);
  auto* close = t.Place(Button("Close"), 274, 187, 50, 16, IDC_CLOSE);
  close->setDefault(true);
  list_ = t.Place(new QTreeWidget, 7, 28, 317, 153, IDC_KEYSET_LIST);
  password_ = t.Place(Button("Password..."), 128, 187, 50, 16, IDC_PASSWORD);
  t.Place(new QLabel("Crypto Token Serial Number:"), 11, 11, 94, 8, "SerialLabel");
  serial_ = t.Place(new QLabel("0000"), 119, 11, 51, 8, IDC_SERIAL);
  add_ = t.Place(Button("Add..."), 188, 187, 50, 16, IDC_ADD);
  deleteAll_ = t.Place(Button("Delete All"), 8, 187, 50, 16, IDC_DELETE_ALL);
  count_ = t.Place(new QLabel("0 Key-sets (0 Free)"), 170, 11, 110, 11, IDC_COUNT);
  count_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  security_ = t.Place(Button("Security..."), 68, 187, 50, 16, IDC_SECURITY);
  connect(close, &QPushButton::clicked, this, &CTokenDialog::OnClose);
  connect(password_, &QPushButton::clicked, this, [this] { Run([this] { OnPassword(); }); });
  connect(add_, &QPushButton::clicked, this, [this] { Run([this] { OnAdd(); }); });
  connect(deleteAll_, &QPushButton::clicked, this, [this] { Run([this] { OnDeleteAll(); }); });
  connect(security_, &QPushButton::clicked, this, [this] { Run([this] { OnSecurity(); }); });
  token->SetDialog(this);
  OnInitDialog();
}

CTokenDialog::~CTokenDialog() = default;

template <class Handler>
void CTokenDialog::Run(Handler handler) {
  ++running_;
  handler();
  if (--running_ == 0 && disposed_) deleteLater();
}

void CTokenDialog::OnInitDialog() {
  CToken* token = token_->Get();
  serial_->setText(QString::number(token->Serial()));
  list_->setColumnCount(int(std::size(Columns)));
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setFrameShadow(QFrame::Sunken);
  QStringList headers;
  for (const Column& column : Columns) headers << column.header;
  list_->setHeaderLabels(headers);
  const QFontMetrics metrics(list_->header()->font());
  for (int i = 0; i < int(std::size(Columns)); ++i) {
    // The template's widths were made for a narrower font: never cut a header short.
    list_->setColumnWidth(i, std::max(Columns[i].width, metrics.horizontalAdvance(Columns[i].header) + 16));
    list_->headerItem()->setTextAlignment(i, Columns[i].alignment);
  }
  for (const KeysetInfo& keyset : token->Keysets()) InsertKeyset(keyset);
  UpdateCountLine(token);
  if (!database_.set)
    for (QPushButton* button : {add_, deleteAll_, password_, security_}) button->setEnabled(false);
}

void CTokenDialog::InsertKeyset(const KeysetInfo& keyset) {
  wchar_t name[100] = {};
  FormatKeysetName(name, std::size(name), keyset.KeysetNumber, keyset.KeysetTime);
  auto* row = new QTreeWidgetItem;
  row->setText(0, QString::fromWCharArray(name));
  for (int type = 0; type < 4; ++type) {
    row->setText(type + 1, (keyset.KeyFlags >> type) & 1 ? "Yes" : "No");
    row->setTextAlignment(type + 1, Qt::AlignHCenter);
  }
  list_->insertTopLevelItem(0, row);
  if (CToken* token = token_->Get()) UpdateCountLine(token);
  password_->setEnabled(false);  // a token holding key-sets keeps its password
}

void CTokenDialog::UpdateCountLine(CToken* token) {
  const int count = token->Count();
  count_->setText(QString("%1 Key-sets (%2 Free)").arg(unsigned(count)).arg(unsigned(token->Capacity() - count)));
}

void CTokenDialog::Dispose() {
  token_->Detach();
  disposed_ = true;
  hide();
  for (QDialog* child : findChildren<QDialog*>())
    if (child->isVisible()) child->done(platform::IDCANCEL);
  if (running_ == 0) delete this;
}

void CTokenDialog::OnClose() { hide(); }

void CTokenDialog::OnPassword() {
  CChangePasswordDialog dialog(token_, database_, this);
  dialog.Run();
}

void CTokenDialog::OnAdd() {
  std::unique_ptr<CAddKeysDialog> dialog;
  try {
    dialog = std::make_unique<CAddKeysDialog>(token_, database_, this);
  } catch (int) {
    DialogMessage(this, "Could not connect to datasoure " + platform::WideToUtf8(database_.dataSource) + ".",
                  "ODBC Error", platform::MB_ICONHAND | platform::MB_OK);
    return;
  }
  dialog->exec();
}

void CTokenDialog::OnDeleteAll() {
  if (DialogMessage(this, "Are you sure you want to delete all key-sets?", TokenCaption, platform::MB_YESNO) !=
      platform::IDYES)
    return;
  CToken* token = token_->Get();
  TokenStatus status = 0;
  if (!token || !token->EraseAll(&status)) {
    DialogMessage(this, "Crypto token error.", "ZARN Token", platform::MB_ICONHAND | platform::MB_OK);
    return;
  }
  if (status & TokenError) {
    DialogMessage(this, "Erase operation failed.", "ZARN Token", platform::MB_ICONHAND | platform::MB_OK);
    return;
  }
  token->ClearKeysets();
  list_->clear();
  UpdateCountLine(token);
  password_->setEnabled(true);
}

void CTokenDialog::OnSecurity() {
  std::unique_ptr<CSecurityDialog> dialog;
  try {
    dialog = std::make_unique<CSecurityDialog>(token_, database_, this);
  } catch (int) {
    return;  // no database, no dialog
  }
  dialog->Run();
}
