#include "devtools_page.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

#include <memory>
#include <string_view>

namespace {

// The page target's socket address, from the browser's list of targets.
QString PageAddress(quint16 port) {
  QNetworkAccessManager network;
  std::unique_ptr<QNetworkReply> reply(
      network.get(QNetworkRequest(QUrl(QString("http://127.0.0.1:%1/json/list").arg(port)))));
  if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 5000) || reply->error() != QNetworkReply::NoError)
    return {};
  for (const QJsonValue target : QJsonDocument::fromJson(reply->readAll()).array())
    if (target["type"].toString() == "page") return target["webSocketDebuggerUrl"].toString();
  return {};
}

// A text as a script's string literal.
QString ScriptString(const QString& text) {
  return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

}  // namespace

bool DevToolsPage::Connect(quint16 port, int timeoutMs) {
  QObject::connect(&socket_, &QWebSocket::textMessageReceived, [this](const QString& text) {
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    if (message.contains("id")) answers_[message["id"].toInt()] = message;
  });
  QString address;
  for (QDeadlineTimer deadline(timeoutMs); address.isEmpty() && !deadline.hasExpired();) {
    address = PageAddress(port);
    if (address.isEmpty()) QTest::qWait(200);
  }
  if (address.isEmpty()) {
    error_ = "the browser listed no page";
    return false;
  }
  socket_.open(QUrl(address));
  if (!QTest::qWaitFor([&] { return socket_.state() == QAbstractSocket::ConnectedState; }, timeoutMs)) {
    error_ = "the page's socket did not open: " + socket_.errorString();
    return false;
  }
  return true;
}

std::optional<QJsonObject> DevToolsPage::Command(const QString& method, const QJsonObject& params, int timeoutMs) {
  const int id = ++lastId_;
  socket_.sendTextMessage(
      QString::fromUtf8(QJsonDocument(QJsonObject{{"id", id}, {"method", method}, {"params", params}}).toJson()));
  if (!QTest::qWaitFor([&] { return answers_.count(id) || socket_.state() != QAbstractSocket::ConnectedState; },
                       timeoutMs)) {
    error_ = method + " got no answer";
    return std::nullopt;
  }
  auto answer = answers_.extract(id);
  if (answer.empty()) {
    error_ = "the connection to the page ended";
    return std::nullopt;
  }
  if (answer.mapped().contains("error")) {
    error_ = method + ": " + answer.mapped()["error"].toObject()["message"].toString();
    return std::nullopt;
  }
  return answer.mapped()["result"].toObject();
}

QJsonValue DevToolsPage::Evaluate(const QString& expression, int timeoutMs) {
  const auto result = Command(
      "Runtime.evaluate", {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}, timeoutMs);
  if (!result) return QJsonValue::Undefined;
  if (result->contains("exceptionDetails")) {
    error_ = expression + " threw: " + (*result)["exceptionDetails"]["exception"]["description"].toString();
    return QJsonValue::Undefined;
  }
  return (*result)["result"]["value"];
}

bool DevToolsPage::WaitFor(const QString& expression, int timeoutMs) {
  // A page that is being replaced answers nothing for a moment: each try is short.
  const bool met =
      QTest::qWaitFor([&] { return Evaluate("!!(" + expression + ")", 2000).toBool(); }, timeoutMs);
  if (!met) error_ = "never true: " + expression;
  return met;
}

bool DevToolsPage::Click(const QString& selector) {
  error_.clear();
  const QJsonValue middle = Evaluate(QString(R"((() => {
      const element = document.querySelector(%1);
      if (!element) return null;
      element.scrollIntoView({block: 'center'});
      const box = element.getBoundingClientRect();
      return [box.x + box.width / 2, box.y + box.height / 2];
    })())").arg(ScriptString(selector)));
  if (!middle.isArray()) {
    if (error_.isEmpty()) error_ = "no element " + selector;
    return false;
  }
  for (const char* type : {"mouseMoved", "mousePressed", "mouseReleased"}) {
    const bool pressed = std::string_view(type) == "mousePressed";
    if (!Command("Input.dispatchMouseEvent",
                 {{"type", type}, {"x", middle[0]}, {"y", middle[1]}, {"button", "left"}, {"buttons", pressed ? 1 : 0},
                  {"clickCount", 1}},
                 5000))
      return false;
  }
  return true;
}

bool DevToolsPage::Type(const QString& text) {
  error_.clear();
  for (const QChar c : text) {
    for (const char* type : {"keyDown", "keyUp"}) {
      QJsonObject key{{"type", type}};
      if (std::string_view(type) == "keyDown") key["text"] = QString(c);
      if (!Command("Input.dispatchKeyEvent", key, 5000)) return false;
    }
  }
  return true;
}
