#include "password_dialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <openssl/crypto.h>
#include <string>

#include "cp1252.h"
#include "crypto_primitives.h"
#include "keyset_datasource.h"
#include "message_box.h"

namespace {

constexpr int PasswordRounds = 32768;
constexpr size_t MaxPasswordBytes = 255;

// A token's key and verifier, wiped when they go.
struct DerivedKey {
  uint8_t key[16] = {};
  uint8_t verifier[16] = {};
  ~DerivedKey() {
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(verifier, sizeof verifier);
  }
  bool Derive(const std::string& password, const uint8_t salt[8]) {
    return DeriveKey(password.c_str(), PasswordRounds, salt, 8, key, 16, verifier, 16);
  }
};

QLineEdit* PasswordEdit() {
  auto* edit = new QLineEdit;
  edit->setEchoMode(QLineEdit::Password);
  return edit;
}

QPushButton* Button(const char* text, bool isDefault) {
  auto* button = new QPushButton(text);
  button->setDefault(isDefault);
  return button;
}

void Warn(QWidget* owner, const char* text) {
  DialogMessage(owner, text, TokenCaption, platform::MB_ICONEXCLAMATION | platform::MB_OK);
}

// Overwrites a copy of a secret before it is let go.
void Wipe(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

// A password edit's text as the token and the key database take it: Windows-1252, at most 255 bytes.
std::string PasswordBytes(const QLineEdit* edit) {
  QByteArray utf8 = edit->text().toUtf8();
  std::string bytes = platform::Utf8ToCp1252(std::string_view(utf8.constData(), size_t(utf8.size())));
  OPENSSL_cleanse(utf8.data(), size_t(utf8.size()));
  if (bytes.size() > MaxPasswordBytes) {
    OPENSSL_cleanse(bytes.data() + MaxPasswordBytes, bytes.size() - MaxPasswordBytes);
    bytes.resize(MaxPasswordBytes);
  }
  return bytes;
}

}  // namespace

CPasswordDialog::CPasswordDialog(CToken* token, const KeyDatabaseSource& database, QWidget* owner)
    : QDialog(owner), token_(token), database_(database) {
  DialogTemplate t(this, " ZARN Crypto Token ", 184, 78);
  ok_ = t.Place(Button("OK", true), 60, 54, 50, 16, IDOK_BUTTON);
  auto* cancel = t.Place(Button("Cancel", false), 117, 54, 50, 16, IDCANCEL_BUTTON);
  password_ = t.Place(PasswordEdit(), 60, 30, 106, 14, IDC_PASSWORD);
  password_->setMaxLength(int(MaxPasswordBytes));
  t.Place(new QLabel("Password:"), 18, 32, 34, 8, "PasswordLabel");
  t.Place(new QLabel("Crypto Token Serial Number:"), 18, 12, 108, 8, "SerialLabel");
  serial_ = t.Place(new QLabel("0000"), 132, 12, 33, 12, IDC_SERIAL);
  serial_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  connect(ok_, &QPushButton::clicked, this, &CPasswordDialog::OnOK);
  connect(cancel, &QPushButton::clicked, this, &CPasswordDialog::OnCancel);
  OnInitDialog();
}

CPasswordDialog::~CPasswordDialog() { password_->clear(); }

void CPasswordDialog::OnInitDialog() {
  serial_->setText(QString::number(token_->Serial()));
  if (!database_.set) {
    password_->setFocus();
    return;
  }
  try {
    CKeysetDatasource db(database_.dataSource.c_str(), database_.user.c_str(), database_.password.c_str());
    wchar_t passphrase[256] = {};  // a row without a passphrase leaves it empty
    uint8_t bsl[32], key[16], mac[16];
    if (db.LoadToken(token_->Serial(), passphrase, sizeof passphrase, bsl, key, mac)) {
      password_->setText(QString::fromWCharArray(passphrase));
      ok_->setFocus();
    }
    OPENSSL_cleanse(passphrase, sizeof passphrase);
    OPENSSL_cleanse(bsl, sizeof bsl);
  } catch (int) {
    // An unreachable database only means typing the password.
  }
}

void CPasswordDialog::OnOK() {
  std::string password = PasswordBytes(password_);
  uint8_t salt[8] = {};
  DerivedKey derived;
  TokenStatus status = 0;
  if (!token_->GetSalt(salt, &status)) {
    Warn(this, "Communication error.");
  } else if (!derived.Derive(password, salt)) {
    Warn(this, "Key derivation failed.");
  } else if (!token_->Unlock(derived.key, derived.verifier, &status)) {
    Warn(this, "Communication error.");
  } else if (status & TokenPasswordLock) {
    Warn(this, "Invalid password.");
  } else {
    Wipe(password);
    done(platform::IDOK);
    return;
  }
  Wipe(password);
}

void CPasswordDialog::OnCancel() { done(platform::IDCANCEL); }

CChangePasswordDialog::CChangePasswordDialog(SharedTokenHold token, const KeyDatabaseSource& database, QWidget* owner)
    : QDialog(owner), token_(std::move(token)), database_(database) {
  DialogTemplate t(this, "Set Password", 186, 97);
  auto* ok = t.Place(Button("OK", true), 60, 73, 50, 16, IDOK_BUTTON);
  auto* cancel = t.Place(Button("Cancel", false), 117, 73, 50, 16, IDCANCEL_BUTTON);
  t.Place(new QLabel("Crypto Token Serial Number:"), 17, 16, 94, 8, "SerialLabel");
  serial_ = t.Place(new QLabel("0000"), 134, 16, 28, 8, IDC_SERIAL);
  serial_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  t.Place(new QLabel("Password:"), 18, 33, 34, 8, "PasswordLabel");
  password_ = t.Place(PasswordEdit(), 60, 30, 106, 14, IDC_PASSWORD);
  auto* confirmLabel = t.Place(new QLabel("Confirm Password:"), 18, 47, 42, 22, "ConfirmLabel");
  confirmLabel->setWordWrap(true);
  confirmLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  confirm_ = t.Place(PasswordEdit(), 60, 49, 106, 14, IDC_CONFIRM);
  for (QLineEdit* edit : {password_, confirm_}) edit->setMaxLength(int(MaxPasswordBytes));
  connect(ok, &QPushButton::clicked, this, &CChangePasswordDialog::OnOK);
  connect(cancel, &QPushButton::clicked, this, &CChangePasswordDialog::OnCancel);
  ok->setFocus();
}

CChangePasswordDialog::~CChangePasswordDialog() {
  password_->clear();
  confirm_->clear();
}

bool CChangePasswordDialog::OnInitDialog() {
  CToken* token = token_->Get();
  if (!token) return false;
  serial_->setText(QString::number(token->Serial()));
  try {
    CKeysetDatasource db(database_.dataSource.c_str(), database_.user.c_str(), database_.password.c_str());
    wchar_t passphrase[128] = {};
    uint8_t bsl[32], key[16], mac[16];
    bool ok = db.LoadToken(token->Serial(), passphrase, sizeof passphrase, bsl, key, mac) ||
              db.InsertToken(token->Serial());
    OPENSSL_cleanse(passphrase, sizeof passphrase);
    OPENSSL_cleanse(bsl, sizeof bsl);
    if (ok) return true;
  } catch (int) {
  }
  Warn(parentWidget(), "Database error.");
  return false;
}

int CChangePasswordDialog::Run() { return OnInitDialog() ? exec() : 0; }

void CChangePasswordDialog::OnOK() {
  std::string password = PasswordBytes(password_), confirmation = PasswordBytes(confirm_);
  const bool match = password == confirmation;
  Wipe(confirmation);
  uint8_t salt[8] = {};
  DerivedKey derived;
  TokenStatus status = 0;
  CToken* token = token_->Get();
  if (!match) {
    Warn(this, "The passwords do not match.");
  } else if (!GenerateRandom(salt, sizeof salt)) {
    Warn(this, "Failed to change the password.");  // never a predictable salt
  } else if (!derived.Derive(password, salt)) {
    Warn(this, "Key derivation failed.");
  } else if (!token || !token->Lock(derived.key, derived.verifier, salt, &status) || (status & TokenError)) {
    Warn(this, "Failed to change the password.");
  } else {
    // The token has the new password from here; the database follows.
    std::wstring text = platform::Cp1252ToWide(password);
    bool stored = false;
    try {
      CKeysetDatasource db(database_.dataSource.c_str(), database_.user.c_str(), database_.password.c_str());
      stored = db.UpdatePassphrase(token->Serial(), text.c_str());
    } catch (int) {
    }
    OPENSSL_cleanse(text.data(), text.size() * sizeof(wchar_t));
    Wipe(password);
    if (!stored) Warn(this, "Database error.");
    done(platform::IDOK);
    return;
  }
  Wipe(password);
}

void CChangePasswordDialog::OnCancel() { done(platform::IDCANCEL); }
