#pragma once
// The hidden token window: everything the operator sees of the tokens. One tray icon and
// one hidden token dialog per announced token; the scan thread reaches it by sent
// messages, the icons by the notify message.

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <map>
#include <memory>

#include "qt_message_queue.h"
#include "token_scan.h"
#include "zarn_crypto.h"

inline constexpr LPARAM WM_LBUTTONUP = 0x0202;
inline constexpr LPARAM WM_LBUTTONDBLCLK = 0x0203;
inline constexpr LPARAM WM_RBUTTONUP = 0x0205;
inline constexpr LPARAM WM_MBUTTONUP = 0x0208;

class CTokenWindow : public QObject {
  Q_OBJECT

 public:
  // The dialogs reach the key database with the command line's data source.
  explicit CTokenWindow(const KeyDatabaseSource& database);
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

  const std::map<CToken*, std::unique_ptr<QSystemTrayIcon>>& Icons() const { return icons_; }
  // The picture of every token icon: a yellow USB stick.
  static QIcon TokenIcon();

 private:
  const KeyDatabaseSource& database_;
  platform::QtMessageQueue queue_;
  HWND handle_ = 0;
  std::map<CToken*, std::unique_ptr<QSystemTrayIcon>> icons_;
};
