// By hand: a property read from page script through the bridge against the same Invoke
// in-process; prints the median of each.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <QWebEngineView>
#include <algorithm>
#include <cstdio>
#include <dlfcn.h>
#include <memory>
#include <vector>

#include "activation.h"
#include "script_bridge_page.h"
#include "zarn_startup.h"

namespace {

constexpr int Reads = 1000;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TZarnStartup startup(argc, argv);
  QTemporaryDir root;
  qputenv("ZARN_REGISTRY_DIR", root.filePath("registry").toLocal8Bit());
  QDir(root.path()).mkdir("html");
  QFile page(root.filePath("html/page.html"));
  if (!page.open(QIODevice::WriteOnly)) return 1;
  page.write("<!DOCTYPE html><html><body></body></html>");
  page.close();
  void* library = ::dlopen(PINDRAL_LIBRARY, RTLD_NOW);
  if (!library || reinterpret_cast<HRESULT (*)()>(::dlsym(library, "DllRegisterServer"))() != S_OK) return 1;

  // In-process: the bridge's Invoke of Info.
  ComPtr<IDispatch> bridge;
  CoCreateInstance("Pindral.WebPindral", nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, bridge.PutVoid());
  std::vector<double> direct;
  for (int i = 0; i < Reads; ++i) {
    QElapsedTimer t;
    t.start();
    DISPID id = 0;
    bridge->GetIDsOfNames(IID_IDispatch, {"Info"}, 0, &id);
    DISPPARAMS none;
    Variant result;
    bridge->Invoke(id, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    direct.push_back(t.nsecsElapsed() / 1e6);
  }

  // From page script, each read awaited before the next.
  QWebEngineView view;
  auto* scripted = new platform::ScriptBridgePage(root.filePath("html"), &view);
  view.setPage(scripted);
  QEventLoop loading;
  QObject::connect(scripted, &QWebEnginePage::loadFinished, &loading, &QEventLoop::quit);
  scripted->load(QUrl::fromLocalFile(root.filePath("html/page.html")));
  loading.exec();
  scripted->runJavaScript(QString(R"((async () => {
      const p = await new ActiveXObject("Pindral.WebPindral");
      await p.Info;
      const times = [];
      for (let i = 0; i < %1; ++i) { const t = performance.now(); await p.Info; times.push(performance.now() - t); }
      times.sort((a, b) => a - b);
      window.median = times[times.length >> 1];
    })();)").arg(Reads));
  // A plain event loop, as the program runs: waiting by sleeps would add their own latency.
  // Reads still under way when the loop ends may be answered after these locals have gone:
  // their callbacks hold what they write.
  auto median = std::make_shared<QVariant>();
  QEventLoop loop;
  QPointer<QEventLoop> waiting(&loop);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    scripted->runJavaScript("window.median", [median, waiting](const QVariant& v) {
      if (!v.isValid() || v.isNull()) return;
      *median = v;
      if (waiting) waiting->quit();
    });
  });
  poll.start(200);
  loop.exec();
  std::printf("property read, median of %d: page script %.3f ms, in-process Invoke %.4f ms\n", Reads,
              median->toDouble(), Median(direct));
  return 0;
}
