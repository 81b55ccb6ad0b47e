#include "security_dialog.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstring>
#include <openssl/crypto.h>

#include "keyset_datasource.h"
#include "message_box.h"

namespace {

constexpr int GroupWidth = 30, GroupHeight = 12, GroupStep = 36;

QPushButton* Button(const char* text) {
  auto* button = new QPushButton(text);
  button->setAutoDefault(false);  // there is no OK: Enter presses nothing
  return button;
}

// The digit a character stands for in a password group, a lower-case one raised; a null
// character for anything else.
QChar GroupDigit(QChar c) {
  if (c >= 'a' && c <= 'f') return c.toUpper();
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') ? c : QChar();
}

}  // namespace

bool HexEditProc::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  switch (key->key()) {
    // The dialog's keys reach the dialog, as they do before any box sees them on the
    // platform it was designed for; Delete edits, though X gives it a character.
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Delete:
      return false;
    default:
      break;
  }
  const QString text = key->text();
  if (text.size() != 1) return false;  // no character: cursor keys and the like
  const QChar c = text[0], digit = GroupDigit(c);
  if (!digit.isNull() && digit != c) {
    static_cast<QLineEdit*>(watched)->insert(QString(digit));
    return true;
  }
  const ushort code = c.unicode();
  const bool editing = code == 1 || code == 3 || code == 8 || code == 22 || code == 26;
  return digit.isNull() && !editing;
}

QValidator::State HexGroupValidator::validate(QString& input, int&) const {
  for (QChar& c : input) {
    const QChar digit = GroupDigit(c);
    if (digit.isNull()) return Invalid;
    c = digit;
  }
  return Acceptable;
}

CSecurityDialog::CSecurityDialog(SharedTokenHold token, const KeyDatabaseSource& database, QWidget* owner)
    : QDialog(owner),
      database_(std::make_unique<CKeysetDatasource>(database.dataSource.c_str(), database.user.c_str(),
                                                    database.password.c_str())),
      token_(std::move(token)) {
  DialogTemplate t(this, "ZARN Crypto Token Security", 306, 300, "MS Shell Dlg");
  auto group = [&](int x, int y, ControlId first, int n) {
    auto* edit = t.Place(new QLineEdit, x, y, GroupWidth, GroupHeight,
                         (std::string(first.name) + "_" + std::to_string(n)).c_str());
    return edit;
  };
  auto row = [&](auto& edits, int from, int count, int y, int x, ControlId first) {
    for (int i = 0; i < count; ++i) edits[size_t(from + i)] = group(x + i * GroupStep, y, first, from + i + 1);
  };
  t.Place(new QLabel("Crypto Token Serial Number:"), 11, 16, 100, 8, "SerialLabel");
  serial_ = t.Place(new QLabel("0000"), 119, 16, 60, 8, IDC_SERIAL);
  auto* close = t.Place(Button("Close"), 240, 12, 50, 14, IDC_CLOSE);
  auto* bsl = t.Place(new QGroupBox(" BSL Password "), 6, 35, 294, 139, "BslGroup");
  t.Place(new QLabel("Old Password:"), 12, 52, 60, 8, "OldPasswordLabel");
  row(old_, 0, 8, 64, 12, IDC_OLD_PASSWORD);
  row(old_, 8, 8, 82, 12, IDC_OLD_PASSWORD);
  t.Place(new QLabel("New Password:"), 12, 105, 60, 8, "NewPasswordLabel");
  row(new_, 0, 8, 116, 12, IDC_NEW_PASSWORD);
  row(new_, 8, 6, 133, 12, IDC_NEW_PASSWORD);
  row(new_, 14, 2, 133, 228, IDC_NEW_PASSWORD);
  new_[14]->setEnabled(false);
  new_[15]->setEnabled(false);
  auto* set = t.Place(Button("Set"), 240, 154, 50, 14, IDC_SET);
  auto* firmware = t.Place(new QGroupBox(" Firmware Authentication "), 6, 180, 294, 113, "FirmwareGroup");
  t.Place(new QLabel("Key:"), 12, 196, 40, 8, "KeyLabel");
  row(key_, 0, 8, 207, 12, IDC_KEY);
  t.Place(new QLabel("Result:"), 12, 227, 40, 8, "ResultLabel");
  row(result_, 0, 8, 238, 12, IDC_RESULT);
  row(storedMacEdits_, 0, 8, 255, 14, IDC_STORED_MAC);
  auto* test = t.Place(Button("Test"), 240, 274, 50, 14, IDC_TEST);
  bsl->lower();
  firmware->lower();

  for (QLineEdit* edit : result_) edit->setReadOnly(true);
  for (QLineEdit* edit : storedMacEdits_) {
    edit->setReadOnly(true);
    edit->setFrame(false);
    edit->setFocusPolicy(Qt::ClickFocus);
  }
  connect(close, &QPushButton::clicked, this, &CSecurityDialog::OnClose);
  connect(set, &QPushButton::clicked, this, &CSecurityDialog::OnSetBslPassword);
  connect(test, &QPushButton::clicked, this, &CSecurityDialog::OnTest);
}

CSecurityDialog::~CSecurityDialog() {
  for (uint8_t* secret : {storedKey_, storedMac_, currentKey_, currentMac_}) OPENSSL_cleanse(secret, 16);
}

void CSecurityDialog::Warn(const char* text) {
  DialogMessage(this, text, TokenCaption, platform::MB_ICONEXCLAMATION | platform::MB_OK);
}

bool CSecurityDialog::OnInitDialog() {
  CToken* token = token_->Get();
  if (!token) return false;
  serialNumber_ = token->Serial();
  serial_->setText(QString::number(serialNumber_));
  for (auto* edits : {&old_, &new_})
    for (QLineEdit* edit : *edits) {
      edit->installEventFilter(&hexFilter_);
      edit->setValidator(&hexValidator_);
      edit->setMaxLength(4);
    }
  for (QLineEdit* edit : key_) edit->setMaxLength(4);
  result_[0]->setMaxLength(4);

  wchar_t passphrase[128] = {};
  uint8_t bsl[32] = {};
  auto load = [&] { return database_->LoadToken(serialNumber_, passphrase, sizeof passphrase, bsl, storedKey_, storedMac_); };
  bool loaded = load() || (database_->InsertToken(serialNumber_) && load());
  OPENSSL_cleanse(passphrase, sizeof passphrase);
  if (!loaded) {
    DialogMessage(parentWidget(), "Database error.", TokenCaption, platform::MB_ICONEXCLAMATION | platform::MB_OK);
    return false;
  }
  WriteGroups(old_.data(), 16, bsl);
  OPENSSL_cleanse(bsl, sizeof bsl);
  WriteGroups(key_.data(), 8, storedKey_);
  WriteGroups(storedMacEdits_.data(), 8, storedMac_);
  std::memcpy(currentKey_, storedKey_, 16);
  std::memcpy(currentMac_, storedMac_, 16);
  return true;
}

int CSecurityDialog::Run() { return OnInitDialog() ? exec() : 0; }

void CSecurityDialog::ReadGroups(const QLineEdit* const* edits, int count, uint8_t* bytes) const {
  for (int n = 0; n < count; ++n) {
    std::wstring digits = (edits[n]->text().left(4) + "0000").toStdWString();
    DecodeHex(bytes + 2 * n, digits.c_str(), 2);
  }
}

void CSecurityDialog::WriteGroups(QLineEdit* const* edits, int count, const uint8_t* bytes) const {
  for (int n = 0; n < count; ++n) {
    wchar_t digits[5] = {};
    EncodeHex(digits, bytes + 2 * n, 2);
    edits[n]->setText(QString::fromWCharArray(digits));
  }
}

void CSecurityDialog::OnSetBslPassword() {
  uint8_t oldPassword[32] = {}, newPassword[32] = {};
  ReadGroups(old_.data(), 16, oldPassword);
  ReadGroups(new_.data(), 14, newPassword);
  std::memcpy(newPassword + 28, oldPassword + 28, 4);  // the last two groups never change
  CToken* token = token_->Get();
  TokenStatus status = 0;
  if (!token || !token->SetBslPassword(oldPassword, newPassword, &status)) {
    Warn("Communication error.");
  } else if (status & TokenError) {
    Warn("Failed to set BSL password.\n\rPlease verify old password!");
  } else {
    WriteGroups(old_.data(), 14, newPassword);
    if (!database_->UpdateBsl(serialNumber_, newPassword)) Warn("Database error.");
  }
  OPENSSL_cleanse(oldPassword, sizeof oldPassword);
  OPENSSL_cleanse(newPassword, sizeof newPassword);
}

void CSecurityDialog::OnTest() {
  uint8_t key[16] = {}, mac[16] = {};
  ReadGroups(key_.data(), 8, key);
  for (QLineEdit* edit : result_) edit->clear();
  CToken* token = token_->Get();
  TokenStatus status = 0;
  if (!token || !token->AuthenticateFirmware(key, mac, &status)) {
    Warn("Communication error.");
    // What the token last answered tells whether it refused; the box may have outlived the token.
    if ((token = token_->Get())) status = token->Status();
  }
  if (status & TokenError) Warn("Crypto token error.");
  WriteGroups(result_.data(), 8, mac);
  std::memcpy(currentKey_, key, 16);
  std::memcpy(currentMac_, mac, 16);
  OPENSSL_cleanse(key, sizeof key);
}

void CSecurityDialog::OnClose() {
  if (std::memcmp(currentKey_, storedKey_, 16) != 0 || std::memcmp(currentMac_, storedMac_, 16) != 0) {
    const int answer = DialogMessage(this, "Firmware authentication has changed.\n\rSave changes?", TokenCaption,
                                     platform::MB_YESNOCANCEL);
    if (answer == platform::IDCANCEL) return;
    if (answer == platform::IDYES) {
      if (!database_->UpdateFirmwareKey(serialNumber_, currentKey_, currentMac_)) {
        Warn("Database error.");
        return;
      }
    }
  }
  done(platform::IDCANCEL);
}
