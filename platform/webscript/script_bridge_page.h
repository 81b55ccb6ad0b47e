#pragma once
// A browser page whose script may create and call automation objects, but only while it
// shows a page of the program's html folder: every page loaded from a file has the same
// origin, so the page's canonical path must lie inside the folder, checked again at every
// navigation and again as each call runs. Any other page has no bridge, and whatever a page
// asks to open outside opens in the desktop's browser (also when it asks for a new window)
// when it is a web or mail address (http, https, mailto); any other is dropped.
//
// Page script: `const o = await new ActiveXObject("Prog.Id")`; then `await o.Name` reads a
// property, `await o.Method(1, "a")` calls, `o.Name = v` writes; a failed call rejects
// with an Error whose `number` is the HRESULT. A failed write is thrown by the object's
// next read or call, which then does not run (see page_objects.js).

#include <QWebEnginePage>

#include "com.h"

class QWebChannel;

namespace platform {

class PageObjects;

class ScriptBridgePage : public QWebEnginePage {
  Q_OBJECT
 public:
  ScriptBridgePage(const QString& htmlFolder, QObject* parent = nullptr);
  ~ScriptBridgePage() override;

  // True when url is a file inside the folder, symbolic links resolved.
  static bool IsInside(const QUrl& url, const QString& canonicalFolder);
  bool HasBridge() const { return bridged_; }
  PageObjects& Objects() { return *objects_; }

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
  // A link that asks for a new window: a page of the folder opens here, a web or mail
  // address in the desktop's browser.
  QWebEnginePage* createWindow(WebWindowType type) override;

 private:
  void Bridge(bool on);

  const QString html_;  // canonical
  QWebChannel* channel_;
  PageObjects* objects_;
  bool bridged_ = false;
  bool loading_ = false;  // a new document was asked for and has not committed yet
  QUrl asked_;           // its address
};

}  // namespace platform
