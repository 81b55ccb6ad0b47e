#pragma once
// The page a running program's browser shows, reached from outside through the browser's
// remote-debugging protocol (QTWEBENGINE_REMOTE_DEBUGGING): script evaluated in the page,
// and mouse and key input given to it the way the browser takes a person's.
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QWebSocket>

#include <map>
#include <optional>

class DevToolsPage {
 public:
  // Connects to the browser's page on the port; false when none came within the time.
  bool Connect(quint16 port, int timeoutMs);

  // The expression's value, awaited when it is a promise; undefined when it threw, did not
  // answer in time or the connection is gone (Error() says which).
  QJsonValue Evaluate(const QString& expression, int timeoutMs = 10000);
  // Waits until the expression is true in the page on screen, whichever page that is by then.
  bool WaitFor(const QString& expression, int timeoutMs);
  // A left click in the middle of the first element the selector finds, scrolled into view.
  bool Click(const QString& selector);
  // Each character pressed and released on the element that has the focus.
  bool Type(const QString& text);
  const QString& Error() const { return error_; }

 private:
  // The command's result; none when it failed (Error() says why).
  std::optional<QJsonObject> Command(const QString& method, const QJsonObject& params, int timeoutMs);

  QWebSocket socket_;
  int lastId_ = 0;
  std::map<int, QJsonObject> answers_;
  QString error_;
};
