#pragma once
// The hidden token window: everything the operator sees of the tokens. One tray icon
// per announced token; the scan thread reaches it by sent messages, the icons by the
// notify message.

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <map>
#include <memory>

#include "qt_message_queue.h"
#include "token_scan.h"

inline constexpr LPARAM WM_LBUTTONUP = 0x0202;
inline constexpr LPARAM WM_LBUTTONDBLCLK = 0x0203;
inline constexpr LPARAM WM_RBUTTONUP = 0x0205;
inline constexpr LPARAM WM_MBUTTONUP = 0x0208;

class CTokenWindow : public QObject {
  Q_OBJECT

 public:
  CTokenWindow();
  ~CTokenWindow() override;

  // The window is never shown; it exists to receive messages on this thread.
  HWND Create();
  void Destroy();
  HWND Handle() const { return handle_; }

  LRESULT ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void OnTokenArrived(CToken* token);
  void OnTokenRemoved(CToken* token);
  LRESULT OnPasswordRequest(CToken* token);
  void OnNotifyIcon(CToken* token, LPARAM mouseMessage);

  // Answers a token's password request until the operator's password dialog does; a
  // request nobody answers is cancelled.
  void SetPasswordHandler(std::function<LRESULT(CToken*)> handler) { passwordHandler_ = std::move(handler); }
  // The click on an icon that opens its token's dialog.
  void SetShowHandler(std::function<void(CToken*)> handler) { showHandler_ = std::move(handler); }

  const std::map<CToken*, std::unique_ptr<QSystemTrayIcon>>& Icons() const { return icons_; }
  // The picture of every token icon: a yellow USB stick.
  static QIcon TokenIcon();

 private:
  platform::QtMessageQueue queue_;
  HWND handle_ = 0;
  std::map<CToken*, std::unique_ptr<QSystemTrayIcon>> icons_;
  std::function<LRESULT(CToken*)> passwordHandler_;
  std::function<void(CToken*)> showHandler_;
};
