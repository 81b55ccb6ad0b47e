#pragma once
// Drives the main window's browser from a test as page script would run: registers the
// page bridge, shows a page and waits until it is painted, runs script in it.

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QTabWidget>
#include <QTest>
#include <QWebEngineView>
#include <dlfcn.h>

#include <memory>
#include <optional>
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
    // Held by the callback too: a read answered after the time is up lands here, not in a
    // frame that has gone.
    auto read = std::make_shared<std::optional<QString>>();
    page->runJavaScript("window.__answer", [read](const QVariant& v) { *read = v.toString(); });
    while (!*read && timer.elapsed() < Timeout) QTest::qWait(2);
    if (*read) answer = **read;
  }
  return QJsonDocument::fromJson(answer.toUtf8()).object();
}

// Runs open, which navigates to a page, and waits until that page is painted; the state
// the page reached ("ready", "empty" or "failed"), empty when it never got there.
template <class Open>
std::string AwaitPage(TMainForm& form, Open open) {
  bool loaded = false;
  auto connection = QObject::connect(form.Browser, &QWebEngineView::loadFinished, [&] { loaded = true; });
  open();
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

inline std::string ShowDatabasePage(TMainForm& form, uint32_t serial) {
  return AwaitPage(form, [&] { form.ShowDatabasePage(serial); });
}

// As the operator opens it: the Database tab, the seal's entry in the list, Enter.
inline std::string OpenFromDatabaseList(TMainForm& form, uint32_t serial) {
  QListWidgetItem* entry = nullptr;
  const bool listed = QTest::qWaitFor([&] {
    for (int i = 0; i < form.DatabaseListView->count() && !entry; ++i)
      if (form.DatabaseListView->item(i)->data(Qt::UserRole).toUInt() == serial) entry = form.DatabaseListView->item(i);
    return entry != nullptr;
  }, Timeout);
  if (!listed) return "";
  form.PageControl->setCurrentWidget(form.DatabaseTabSheet);
  return AwaitPage(form, [&] {
    form.DatabaseListView->setCurrentItem(entry);
    QTest::keyClick(form.DatabaseListView, Qt::Key_Return);
  });
}

}  // namespace page_driver
