#include "script_host.h"

#include <QFile>
#include <QPaintEvent>
#include <QPainter>

#include "activation.h"
#include "dispatch_call.h"
#include "object_safety.h"
#include "variant_script.h"

namespace platform {

namespace {

// "ActiveX component can't create object", as script engines report it.
constexpr HRESULT ScriptCannotCreate = HRESULT(0x800A01ADu);

// One object as script sees it: members found by name in its type information.
class DispatchBridge : public QObject {
  Q_OBJECT
 public:
  DispatchBridge(ScriptHost& host, const ComPtr<IDispatch>& object)
      : host_(host), object_(object), type_(DispatchType(*object.Get())) {}
  const ComPtr<IDispatch>& Object() const { return object_; }

  // "method", "get" (a readable property), "put" (write-only) or "" (no such member).
  Q_INVOKABLE QString kind(const QString& name) const {
    if (!type_) return "method";
    std::string n = name.toStdString();
    if (type_->Find(n, MemberKind::PropertyGet)) return "get";
    if (type_->Find(n, MemberKind::Method)) return "method";
    if (type_->Find(n, MemberKind::PropertyPut)) return "put";
    return "";
  }

  Q_INVOKABLE QJSValue get(const QString& name) { return Invoke(name, DISPATCH_PROPERTYGET, {}); }
  Q_INVOKABLE QJSValue call(const QString& name, const QJSValue& args) {
    QList<QJSValue> list;
    const int n = args.property("length").toInt();
    for (int i = 0; i < n; ++i) list.append(args.property(quint32(i)));
    return Invoke(name, DISPATCH_METHOD, list);
  }
  Q_INVOKABLE void put(const QString& name, const QJSValue& value) { Invoke(name, DISPATCH_PROPERTYPUT, {value}); }

 private:
  QJSValue Invoke(const QString& name, uint16_t flags, const QList<QJSValue>& args) {
    Variant result;
    auto error = InvokeByName(*object_.Get(), type_, name, flags, int(args.size()),
                              [&](int i, VARTYPE type, Variant& out) {
                                return VariantFromScript(args[i], type, out, [](const QJSValue& value) {
                                  auto* bridge = qobject_cast<DispatchBridge*>(value.property("__dispatch").toQObject());
                                  return bridge ? bridge->Object() : ComPtr<IDispatch>();
                                });
                              },
                              result);
    if (error) {
      host_.ThrowError(error->number, error->message);
      return {};
    }
    return ScriptFromVariant(result, [this](const ComPtr<IDispatch>& d) { return host_.Wrap(d); });
  }

  ScriptHost& host_;
  ComPtr<IDispatch> object_;
  const InterfaceInfo* const type_;
};

// The script face of a bridge: member reads, calls and writes by name.
constexpr const char* WrapScript = R"((function (bridge) {
  return new Proxy({}, {
    get(target, name) {
      if (typeof name !== 'string') return undefined;
      if (name === '__dispatch') return bridge;
      const kind = bridge.kind(name);
      if (kind === 'method') return (...args) => bridge.call(name, args);
      if (kind === 'get') return bridge.get(name);
      return undefined;
    },
    set(target, name, value) { bridge.put(String(name), value); return true; },
    has(target, name) { return typeof name === 'string' && bridge.kind(name) !== ''; }
  });
}))";

}  // namespace

// ---- the control's window ----

ControlWindow::ControlWindow(const ComPtr<IViewObject2>& view, const QString& title) : view_(view) {
  setWindowTitle(title);
  int32_t cx = 0, cy = 0;
  if (SUCCEEDED(view_->GetExtent(&cx, &cy)) && cx > 0 && cy > 0)
    resize(HimetricToPixels(cx, logicalDpiX()), HimetricToPixels(cy, logicalDpiY()));
  view_->SetAdvise(this);
}

ControlWindow::~ControlWindow() { view_->SetAdvise(nullptr); }

void ControlWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  view_->Draw(&painter, rect());
}

void ControlWindow::OnViewChange() {
  ++repaints_;
  update();
}

// ---- the host ----

ScriptHost::ScriptHost() {
  engine_.installExtensions(QJSEngine::ConsoleExtension);
  QJSEngine::setObjectOwnership(this, QJSEngine::CppOwnership);
  engine_.globalObject().setProperty("__zarnHost", engine_.newQObject(this));
  engine_.evaluate("function ActiveXObject(progId) { return __zarnHost.create(String(progId)); }");
  wrap_ = engine_.evaluate(WrapScript);
}

// The windows go first; the engine then releases every object script still held.
ScriptHost::~ScriptHost() { windows_.clear(); }

void ScriptHost::ThrowError(HRESULT hr, const QString& message) {
  QJSValue error = engine_.newErrorObject(QJSValue::GenericError, message);
  error.setProperty("number", QJSValue(int(hr)));
  engine_.throwError(error);
}

QJSValue ScriptHost::create(const QString& progId) {
  const QString cannot = "Automation server can't create object: " + progId;
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progId.toStdString(), &clsid);
  if (FAILED(hr)) {
    ThrowError(hr, cannot);
    return {};
  }
  ComPtr<IDispatch> object;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.PutVoid());
  if (FAILED(hr)) {
    ThrowError(hr, cannot + " (" + HexCode(hr) + ")");
    return {};
  }
  // Safe for scripting by its registration, or by its own word when asked.
  bool safe = IsImplementedCategory(clsid, CATID_SafeForScripting);
  ComPtr<IObjectSafety> safety;
  if (SUCCEEDED(object.As(IID_IObjectSafety, safety))) {
    HRESULT told = safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                     INTERFACESAFE_FOR_UNTRUSTED_CALLER);
    safe = safe || SUCCEEDED(told);
  }
  if (!safe) {
    ThrowError(ScriptCannotCreate, cannot + " (not safe for scripting)");
    return {};
  }
  ComPtr<IViewObject2> view;
  if (SUCCEEDED(object.As(IID_IViewObject2, view))) {
    auto window = std::make_unique<ControlWindow>(view, progId);
    window->show();
    windows_.push_back(std::move(window));
  }
  return Wrap(object);
}

QJSValue ScriptHost::Wrap(const ComPtr<IDispatch>& object) {
  return wrap_.call({engine_.newQObject(new DispatchBridge(*this, object))});
}

bool ScriptHost::Run(const QString& source, const QString& fileName, QString* error) {
  QJSValue result = engine_.evaluate(source, fileName);
  if (!result.isError()) return true;
  if (error)
    *error = QString("%1:%2: %3")
                 .arg(fileName, result.property("lineNumber").toString(),
                      result.toString());
  return false;
}

bool ScriptHost::RunFile(const QString& path, QString* error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    if (error) *error = path + ": " + file.errorString();
    return false;
  }
  return Run(QString::fromUtf8(file.readAll()), path, error);
}

}  // namespace platform

#include "script_host.moc"
