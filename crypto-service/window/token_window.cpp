#include "token_window.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <cstdio>

#include "message_box.h"
#include "password_dialogs.h"
#include "token_dialog.h"

namespace {

LPARAM MouseMessageOf(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger: return WM_LBUTTONUP;
    case QSystemTrayIcon::DoubleClick: return WM_LBUTTONDBLCLK;
    case QSystemTrayIcon::Context: return WM_RBUTTONUP;
    default: return WM_MBUTTONUP;
  }
}

}  // namespace

CTokenWindow::CTokenWindow(const KeyDatabaseSource& database) : database_(database), queue_(this) {}

CTokenWindow::~CTokenWindow() { Destroy(); }

HWND CTokenWindow::Create() {
  handle_ = platform::CreateWindowHandle("CTokenWindow", queue_, [this](UINT m, WPARAM w, LPARAM l) {
    return ProcessWindowMessage(m, w, l);
  });
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    std::fprintf(stderr, "brisel: this desktop has no notification area; tokens are served without icons\n");
  return handle_;
}

void CTokenWindow::Destroy() {
  if (!handle_) return;
  // While the handle lives, a removal the scan sends waits for this thread: no token goes
  // while its dialog is let go. Dialogs still open end as Cancel and never touch it again.
  for (auto& [token, icon] : icons_)
    if (CTokenDialog* dialog = token->Dialog()) {
      token->SetDialog(nullptr);
      dialog->Dispose();
    }
  icons_.clear();
  platform::DestroyWindowHandle(handle_);
  handle_ = 0;
}

LRESULT CTokenWindow::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TOKEN_NOTIFY:
      OnNotifyIcon(reinterpret_cast<CToken*>(wParam), lParam);
      return 0;
    case WM_TOKEN_ARRIVED:
      OnTokenArrived(reinterpret_cast<CToken*>(lParam));
      return 0;
    case WM_TOKEN_REMOVED:
      OnTokenRemoved(reinterpret_cast<CToken*>(lParam));
      return 0;
    case WM_TOKEN_PASSWORD:
      return OnPasswordRequest(reinterpret_cast<CToken*>(lParam));
    case WM_QUIT:
      QCoreApplication::quit();
      return 0;
    default:
      return 0;
  }
}

void CTokenWindow::OnTokenArrived(CToken* token) {
  platform::MessageBeep(1);
  new CTokenDialog(token, database_);  // hidden until its icon is clicked; the token points to it
  auto icon = std::make_unique<QSystemTrayIcon>(TokenIcon());
  icon->setToolTip(QString("ZARN Token S/N %1").arg(token->Serial()));
  // Like the shell, the icon reports its clicks later, by message: the token may be gone by then.
  connect(icon.get(), &QSystemTrayIcon::activated, this, [this, token](QSystemTrayIcon::ActivationReason reason) {
    PostMessage(handle_, WM_TOKEN_NOTIFY, WPARAM(token), MouseMessageOf(reason));
  });
  icon->show();
  icons_[token] = std::move(icon);
}

void CTokenWindow::OnTokenRemoved(CToken* token) {
  platform::MessageBeep(1);
  if (CTokenDialog* dialog = token->Dialog()) {
    token->SetDialog(nullptr);
    dialog->Dispose();
  }
  icons_.erase(token);
}

LRESULT CTokenWindow::OnPasswordRequest(CToken* token) {
  CPasswordDialog dialog(token, database_, QApplication::activeWindow());
  // A dialog that the end of the event loop closed ended without an answer: as Cancel.
  return dialog.exec() == platform::IDOK ? platform::IDOK : platform::IDCANCEL;
}

void CTokenWindow::OnNotifyIcon(CToken* token, LPARAM mouseMessage) {
  // Only a token that still has its icon is still in the table.
  if (mouseMessage != WM_LBUTTONUP || !icons_.count(token)) return;
  if (CTokenDialog* dialog = token->Dialog()) {
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
  }
}

QIcon CTokenWindow::TokenIcon() {
  QPixmap picture(16, 16);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(8, 8);
  p.rotate(-45);  // lying diagonally, plug at the lower left
  p.setPen(QPen(QColor(120, 90, 0), 1));
  p.setBrush(QColor(250, 210, 30));
  p.drawRoundedRect(QRectF(-3, -4.5, 10, 9), 2, 2);  // the body
  p.setPen(QPen(QColor(90, 90, 90), 1));
  p.setBrush(QColor(180, 180, 180));
  p.drawRect(QRectF(-8, -3, 5, 6));  // the plug
  p.end();
  return QIcon(picture);
}
