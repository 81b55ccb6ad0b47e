#pragma once
// A script host and control container: runs script with an engine in which
// `new ActiveXObject(progId)` creates a registered, safe-for-scripting object through
// the component layer; script calls its IDispatch members by name. An object that can
// draw itself is shown in a window of the host, which repaints when its view changes.

#include <QJSEngine>
#include <QObject>
#include <QWidget>
#include <memory>
#include <vector>

#include "control_view.h"

namespace platform {

// A window that shows one control at the window's size.
class ControlWindow : public QWidget, private IAdviseSink {
 public:
  ControlWindow(const ComPtr<IViewObject2>& view, const QString& title);
  ~ControlWindow() override;
  IViewObject2* View() const { return view_.Get(); }
  int Repaints() const { return repaints_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void OnViewChange() override;
  ComPtr<IViewObject2> view_;
  int repaints_ = 0;
};

class ScriptHost : public QObject {
  Q_OBJECT
 public:
  ScriptHost();
  ~ScriptHost() override;

  // Runs script text; false with "file:line: message" in error when it threw.
  bool Run(const QString& source, const QString& fileName, QString* error);
  bool RunFile(const QString& path, QString* error);

  QJSEngine& Engine() { return engine_; }
  // The windows of the controls made so far, open or closed.
  const std::vector<std::unique_ptr<ControlWindow>>& Windows() const { return windows_; }

  // Script's `new ActiveXObject(progId)`.
  Q_INVOKABLE QJSValue create(const QString& progId);

  // The script object that calls this object's members by name.
  QJSValue Wrap(const ComPtr<IDispatch>& object);

  // Throws a script error for a failed HRESULT, with the HRESULT as its number.
  void ThrowError(HRESULT hr, const QString& message);

 private:
  // Objects are created in the host's apartment, and released before it is left.
  ApartmentScope apartment_;
  QJSEngine engine_;
  QJSValue wrap_;
  std::vector<std::unique_ptr<ControlWindow>> windows_;
};

}  // namespace platform
