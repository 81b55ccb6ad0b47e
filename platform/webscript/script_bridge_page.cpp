#include "script_bridge_page.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QWebChannel>
#include <QWebEngineHistory>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <utility>

#include "page_objects.h"

// The library's resources are linked from an archive: they are brought in by name.
static void LoadPageObjectsScript() { Q_INIT_RESOURCE(page_objects); }

namespace platform {

namespace {

// What the browser hands each object as its site: the page's own identity, nothing more.
class PageSite final : public IUnknown, private ComObjectRoot {
 public:
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown) return E_NOINTERFACE;
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
};

QString Resource(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The desktop hands an address to whatever claims its scheme, a local file to its
// application: only web and mail addresses go out, anything else goes nowhere.
void OpenOutside(const QUrl& url) {
  const QString scheme = url.scheme();
  if (scheme == "http" || scheme == "https" || scheme == "mailto") QDesktopServices::openUrl(url);
}

// The page a new window would show: it learns the address, hands it on and goes.
class NewWindowRequest : public QWebEnginePage {
 public:
  NewWindowRequest(ScriptBridgePage& opener, const QString& html)
      : QWebEnginePage(opener.profile(), &opener), opener_(opener), html_(html) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
    if (!isMainFrame) return false;
    if (ScriptBridgePage::IsInside(url, html_))
      opener_.load(url);
    else
      OpenOutside(url);
    deleteLater();
    return false;
  }

 private:
  ScriptBridgePage& opener_;
  const QString html_;
};

}  // namespace

ScriptBridgePage::ScriptBridgePage(const QString& htmlFolder, QObject* parent)
    : QWebEnginePage(parent),
      html_(QFileInfo(htmlFolder).canonicalFilePath()),
      channel_(new QWebChannel(this)),
      objects_(new PageObjects(
          ComPtr<IUnknown>(new PageSite), [this] { return bridged_ && IsInside(url(), html_); }, this)) {
  LoadPageObjectsScript();
  channel_->registerObject("zarnPageObjects", objects_);
  // Qt's own channel client, then ours, which leaves nothing behind on a page without the
  // channel.
  QWebEngineScript script;
  script.setName("zarn-page-objects");
  script.setInjectionPoint(QWebEngineScript::DocumentCreation);
  script.setWorldId(QWebEngineScript::MainWorld);
  script.setRunsOnSubFrames(false);
  script.setSourceCode(Resource(":/qtwebchannel/qwebchannel.js") + "\n" + Resource(":/zarn/page_objects.js"));
  scripts().insert(script);
  // The address changes as a new document commits: calls the old one still sent (it may
  // have had the channel while the new one loaded) are dropped, and a page that ended up
  // outside loses the bridge.
  connect(this, &QWebEnginePage::urlChanged, this, [this](const QUrl& url) {
    const bool lost = bridged_ && !IsInside(url, html_);
    if (std::exchange(loading_, false) || lost) objects_->PageGone();
    if (lost) Bridge(false);
  });
  // A navigation that never commits (a download, a failure) leaves the old document on
  // screen: it keeps the bridge only if it is one of ours, and the calls it made before are
  // answered after all. The history's entry changes as a document commits, the address
  // signal only later; to the same address, a new document cannot be told from the old.
  connect(this, &QWebEnginePage::loadFinished, this, [this] {
    if (std::exchange(loading_, false)) objects_->PageSettled(history()->currentItem().url() != asked_);
    if (bridged_ && !IsInside(url(), html_)) Bridge(false);
  });
}

ScriptBridgePage::~ScriptBridgePage() = default;

bool ScriptBridgePage::IsInside(const QUrl& url, const QString& canonicalFolder) {
  if (!url.isLocalFile() || canonicalFolder.isEmpty()) return false;
  const QString path = QFileInfo(url.toLocalFile()).canonicalFilePath();
  return !path.isEmpty() && path.startsWith(canonicalFolder + '/');
}

bool ScriptBridgePage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
  const bool inside = IsInside(url, html_);
  if (!isMainFrame) return inside;  // no outside page inside ours
  // Only the program and the history leave the folder; whatever a page asks for outside it
  // (a link, a form, an address set by script) opens in the desktop's browser, if anywhere.
  if (!inside && type != NavigationTypeTyped && type != NavigationTypeReload && type != NavigationTypeBackForward) {
    OpenOutside(url);
    return false;
  }
  // A new document (the browser asks for no navigation within one): the old one's objects
  // go, and the new one is bridged or not by its place. It needs the channel as it is
  // created, so the channel comes now; until it commits, the calls are checked against
  // the address on screen.
  objects_->PageLeaving();
  loading_ = true;
  asked_ = url;
  Bridge(inside);
  return true;
}

QWebEnginePage* ScriptBridgePage::createWindow(WebWindowType) { return new NewWindowRequest(*this, html_); }

void ScriptBridgePage::Bridge(bool on) {
  bridged_ = on;
  setWebChannel(on ? channel_ : nullptr);
}

}  // namespace platform
