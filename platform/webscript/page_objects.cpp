#include "page_objects.h"

#include <QPointer>
#include <utility>

#include "activation.h"
#include "dispatch_call.h"
#include "object_safety.h"
#include "object_with_site.h"
#include "variant_script.h"

namespace platform {

namespace {

// "Automation server can't create object", as script engines report it.
constexpr HRESULT ScriptCannotCreate = HRESULT(0x800A01ADu);
constexpr HRESULT ScriptPermissionDenied = HRESULT(0x800A0046u);
constexpr const char* ObjectKey = "__zarnObject";

}  // namespace

QVariantMap ErrorAnswer(HRESULT number, const QString& message) {
  return {{"error", QVariantMap{{"number", int(number)}, {"message", message}}}};
}

PageObjects::PageObjects(const ComPtr<IUnknown>& site, std::function<bool()> admitted, QObject* parent)
    : QObject(parent), site_(site), admitted_(std::move(admitted)) {}

PageObjects::~PageObjects() { PageGone(); }

void PageObjects::PageGone() {
  PageLeaving();
  shown_ = page_;
  leaving_ = false;
  held_.clear();
}

void PageObjects::PageLeaving() {
  ++page_;
  leaving_ = true;
  // Released outside the table: an object's release may call back into script objects.
  auto gone = std::move(objects_);
  objects_.clear();
}

void PageObjects::PageSettled(bool stayed) {
  leaving_ = false;
  if (!stayed) {
    shown_ = page_;
    held_.clear();
  }
  for (int call : std::exchange(held_, {})) Answer(shown_, call, {});
}

void PageObjects::Answer(quint64 page, int call, const QVariantMap& answer) {
  if (page == page_)
    emit reply(call, answer);
  else if (page < shown_)
    return;  // its document went: the number may be another's now
  else if (leaving_)
    held_.push_back(call);
  else
    emit reply(call, ErrorAnswer(E_ABORT, "The call was ended: the page started to leave and released its objects"));
}

void PageObjects::Later(std::function<void()> run) {
  const quint64 page = page_;
  QMetaObject::invokeMethod(
      this,
      [this, page, run = std::move(run)] {
        if (page == page_) run();
      },
      Qt::QueuedConnection);
}

void PageObjects::Later(int call, std::function<QVariantMap()> work) {
  const quint64 page = page_;
  QMetaObject::invokeMethod(
      this,
      [this, page, call, work = std::move(work)] {
        if (page != page_) return Answer(page, call, {});
        if (!admitted_())
          return Answer(page, call, ErrorAnswer(ScriptPermissionDenied, "Permission denied: this page may not use automation objects"));
        // The browser may even close while the call keeps the loop running.
        QPointer<PageObjects> alive(this);
        QVariantMap answer = work();
        if (alive) Answer(page, call, answer);
      },
      Qt::QueuedConnection);
}

void PageObjects::create(int call, const QString& progId) {
  Later(call, [this, progId] { return Create(progId); });
}

void PageObjects::get(int call, int object, const QString& name) {
  Later(call, [this, object, name] { return Call(object, name, DISPATCH_PROPERTYGET, {}); });
}

void PageObjects::put(int call, int object, const QString& name, const QVariant& value) {
  Later(call, [this, object, name, value] { return Call(object, name, DISPATCH_PROPERTYPUT, {value}); });
}

void PageObjects::invoke(int call, int object, const QString& name, const QVariantList& args) {
  // As script engines call: a method, or a property read with arguments.
  Later(call, [this, object, name, args] { return Call(object, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args); });
}

void PageObjects::release(int object) {
  Later([this, object] {
    if (admitted_()) objects_.erase(object);
  });
}

QVariantMap PageObjects::Create(const QString& progId) {
  const QString cannot = "Automation server can't create object: " + progId;
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progId.toStdString(), &clsid);
  if (FAILED(hr)) return ErrorAnswer(hr, cannot);
  // Decided by the registration, before any of the class's code is loaded.
  if (!IsImplementedCategory(clsid, CATID_SafeForScripting))
    return ErrorAnswer(ScriptCannotCreate, cannot + " (not safe for scripting)");
  ComPtr<IDispatch> object;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.PutVoid());
  if (FAILED(hr)) return ErrorAnswer(hr, cannot + " (" + HexCode(hr) + ")");
  ComPtr<IObjectWithSite> sited;
  if (SUCCEEDED(object.As(IID_IObjectWithSite, sited))) sited->SetSite(site_.Get());
  return {{"value", Wrap(object)}};
}

QVariantMap PageObjects::Call(int object, const QString& name, uint16_t flags, const QVariantList& args) {
  auto found = objects_.find(object);
  if (found == objects_.end()) return ErrorAnswer(E_POINTER, "The object is no longer available: " + name);
  // The table may change during the call (a release, a page that goes): hold our own reference.
  ComPtr<IDispatch> target = found->second;
  const quint64 page = page_;
  QPointer<PageObjects> alive(this);
  Variant result;
  auto error = InvokeByName(
      *target.Get(), DispatchType(*target.Get()), name, flags, int(args.size()),
      [&](int i, VARTYPE type, Variant& out) {
        return VariantFromQVariant(args[i], type, out, [this](const QVariant& v) { return Unwrap(v); });
      },
      result);
  if (error) return ErrorAnswer(error->number, error->message);
  // An object made for a page that went during the call is released here, not kept for the next page.
  if (!alive || page != page_) return {};
  return {{"value", QVariantFromVariant(result, [this](const ComPtr<IDispatch>& d) { return Wrap(d); })}};
}

QVariant PageObjects::Wrap(const ComPtr<IDispatch>& object) {
  const int id = ++nextObject_;
  objects_.emplace(id, object);
  return QVariantMap{{ObjectKey, id}};
}

ComPtr<IDispatch> PageObjects::Unwrap(const QVariant& value) const {
  const QVariantMap map = value.toMap();
  if (!map.contains(ObjectKey)) return {};
  auto found = objects_.find(map.value(ObjectKey).toInt());
  return found == objects_.end() ? ComPtr<IDispatch>() : found->second;
}

}  // namespace platform
