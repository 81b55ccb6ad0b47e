#pragma once
// Drives the main window's browser from a test as page script would run: registers the
// page bridge, shows a page and waits until it is painted, runs script in it.

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QWebEngineView>
#include <dlfcn.h>

#include <string>

#include "main_form.h"

namespace page_driver {

constexpr int Timeout = 20000;

// Registers the page bridge library in the registry of the running world.
inline bool RegisterPindral(const char* library) {
  void* pindral = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  auto reg = pindral ? reinterpret_cast<HRESULT (*)()>(::dlsym(pindral, "DllRegisterServer")) : nullptr;
  return reg && reg() == S_OK;
}

// Runs the body of an async function in the page: {"value": ...} or {"error", "number"}.
inline QJsonObject Run(QWebEnginePage* page, const QString& body) {
  page->runJavaScript(
      "window.__answer = undefined; (async () => {" + body +
      "})().then(v => window.__answer = JSON.stringify({value: v === undefined ? null : v}),"
      "          e => window.__answer = JSON.stringify({error: String(e && e.message), number: e && e.number}));");
  QElapsedTimer timer;
  timer.start();
  QString answer;
  while (answer.isEmpty() && timer.elapsed() < Timeout) {
    bool got = false;
    page->runJavaScript("window.__answer", [&](const QVariant& v) {
      answer = v.toString();
      got = true;
    });
    while (!got && timer.elapsed() < Timeout) QTest::qWait(2);
  }
  return QJsonDocument::fromJson(answer.toUtf8()).object();
}

// Shows the Database page for the serial number; the state the page reached once painted
// ("ready", "empty" or "failed"), empty when it never got there.
inline std::string ShowDatabasePage(TMainForm& form, int32_t serial) {
  form.Session().SetSerialNumber(serial);
  bool loaded = false;
  auto connection = QObject::connect(form.Browser, &QWebEngineView::loadFinished, [&] { loaded = true; });
  form.Browser->setUrl(QUrl::fromLocalFile(TMainForm::HtmlPagePath("ZarnReaderDatabase.htm")));
  QElapsedTimer timer;
  timer.start();
  // The page shown before may be this one too: its state counts only after the new load.
  while (!loaded && timer.elapsed() < Timeout) QTest::qWait(1);
  QObject::disconnect(connection);
  while (timer.elapsed() < Timeout) {
    QString state = Run(form.Browser->page(), "return document.body && document.body.dataset.state || '';")
                        .value("value")
                        .toString();
    if (!state.isEmpty()) return state.toStdString();
    QTest::qWait(2);
  }
  return "";
}

}  // namespace page_driver
