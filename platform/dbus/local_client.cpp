#include "local_client.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <climits>
#include <map>
#include <mutex>

#include "dbus_marshal.h"

namespace platform::dbus {

namespace {

constexpr int WaitWithoutEnd = INT_MAX;

struct Catalog {
  std::mutex mutex;
  std::vector<std::pair<const InterfaceInfo*, ProxyMaker>> entries;
};

Catalog& TheCatalog() {
  static Catalog catalog;
  return catalog;
}

ProxyMaker FindMaker(REFIID iid) {
  Catalog& c = TheCatalog();
  std::lock_guard lock(c.mutex);
  for (auto& [info, maker] : c.entries)
    if (info->iid == iid) return maker;
  return nullptr;
}

HRESULT FromReplyError(const QDBusMessage& reply) {
  return reply.type() == QDBusMessage::ErrorMessage ? RPC_E_DISCONNECTED : RPC_E_SERVERFAULT;
}

void SendRelease(const QString& service, const QString& path) {
  auto release = QDBusMessage::createMethodCall(service, path, ObjectInterface, "Release");
  release.setAutoStartService(false);
  QDBusConnection::sessionBus().send(release);
}

// One object of a server, reached through its path. Released, it releases the server's object.
class BusDispatch final : public TypeInfoDispatch<IDispatch>, private ComObjectRoot {
 public:
  BusDispatch(QString service, QString path, const InterfaceInfo& info)
      : service_(std::move(service)), path_(std::move(path)), info_(info) {}
  ~BusDispatch() override { SendRelease(service_, path_); }

  COM_REFCOUNT_METHODS

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    if (iid == info_.iid) {
      if (ProxyMaker maker = FindMaker(iid)) {
        *object = maker(this);
        return S_OK;
      }
    }
    return E_NOINTERFACE;
  }

  HRESULT Invoke(DISPID id, REFIID, uint32_t, uint16_t flags, DISPPARAMS* params, Variant* result, EXCEPINFO*,
                 uint32_t* argError) override {
    const MemberInfo* member = nullptr;
    HRESULT hr = PrepareInvoke(info_, id, flags, params, argError, member);
    if (FAILED(hr)) return hr;
    auto call = QDBusMessage::createMethodCall(service_, path_, InterfaceName(info_), MethodName(*member));
    call.setAutoStartService(false);  // objects die with their server: no new one would know them
    QVariantList args;
    for (size_t i = 0; i < member->params.size(); ++i) {
      const ParamInfo& p = member->params[i];
      if (p.dir == ParamDir::Out) continue;
      if (p.type == VT_DISPATCH) return DISP_E_TYPEMISMATCH;  // no client objects are handed to servers
      args << ToBus(params->args[i], p.type, p.bytes);
    }
    call.setArguments(args);
    QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, WaitWithoutEnd);
    if (reply.type() != QDBusMessage::ReplyMessage) return FromReplyError(reply);
    const QVariantList out = reply.arguments();
    if (out.isEmpty() || out[0].metaType().id() != QMetaType::Int) return RPC_E_SERVERFAULT;
    hr = out[0].toInt();
    if (FAILED(hr)) return hr;
    qsizetype next = 1;
    auto fromBus = [&](VARTYPE type, bool bytes, Variant& v) {
      if (next >= out.size()) return false;
      const QVariant& q = out[next++];
      if (type != VT_DISPATCH) return FromBus(q, type, bytes, v);
      if (!q.canConvert<QDBusObjectPath>()) return false;
      v = Variant(ObjectAt(q.value<QDBusObjectPath>().path()));
      return true;
    };
    for (size_t i = 0; i < member->params.size(); ++i) {
      const ParamInfo& p = member->params[i];
      if (p.dir != ParamDir::In && !fromBus(p.type, p.bytes, params->args[i])) return RPC_E_SERVERFAULT;
    }
    Variant value;
    if (member->result != VT_EMPTY && !fromBus(member->result, false, value)) return RPC_E_SERVERFAULT;
    if (result) *result = std::move(value);
    return hr;
  }

 protected:
  const InterfaceInfo& TypeInformation() const override { return info_; }

 private:
  // An object reference a call returned: another object of the same server.
  ComPtr<IDispatch> ObjectAt(const QString& path) {
    if (path == "/") return {};
    // Its interface is what the server says it is.
    auto ask = QDBusMessage::createMethodCall(service_, path, "org.freedesktop.DBus.Introspectable", "Introspect");
    QDBusMessage reply = QDBusConnection::sessionBus().call(ask, QDBus::Block, WaitWithoutEnd);
    QString xml = reply.arguments().value(0).toString();
    Catalog& c = TheCatalog();
    std::lock_guard lock(c.mutex);
    for (auto& [info, maker] : c.entries)
      if (xml.contains("\"" + InterfaceName(*info) + "\""))
        return ComPtr<IDispatch>(new BusDispatch(service_, path, *info));
    return {};
  }

  const QString service_;
  const QString path_;
  const InterfaceInfo& info_;
};

}  // namespace

void RegisterInterface(const InterfaceInfo& info, ProxyMaker maker) {
  Catalog& c = TheCatalog();
  std::lock_guard lock(c.mutex);
  for (auto& entry : c.entries)
    if (entry.first->iid == info.iid) return;
  c.entries.emplace_back(&info, maker);
}

const InterfaceInfo* FindInterface(REFIID iid) {
  Catalog& c = TheCatalog();
  std::lock_guard lock(c.mutex);
  for (auto& [info, maker] : c.entries)
    if (info->iid == iid) return info;
  return nullptr;
}

HRESULT CreateLocalInstance(const QString& busName, REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return CO_E_SERVER_EXEC_FAILURE;
  auto call = QDBusMessage::createMethodCall(busName, FactoryPath(clsid), FactoryInterface, "CreateInstance");
  call << QString::fromStdString(iid.ToString());
  QDBusMessage reply = bus.call(call, QDBus::Block, WaitWithoutEnd);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    // No server to start, one that failed to start, or a class it does not serve.
    return reply.errorName() == "org.freedesktop.DBus.Error.UnknownObject" ||
                   reply.errorName() == "org.freedesktop.DBus.Error.UnknownMethod"
               ? CLASS_E_CLASSNOTAVAILABLE
               : CO_E_SERVER_EXEC_FAILURE;
  }
  const QVariantList out = reply.arguments();
  if (out.size() != 3 || out[0].metaType().id() != QMetaType::Int) return RPC_E_SERVERFAULT;
  HRESULT hr = out[0].toInt();
  if (FAILED(hr)) return hr;
  QString path = out[1].value<QDBusObjectPath>().path();
  auto served = GUID::Parse(out[2].toString().toStdString());
  const InterfaceInfo* info = served ? FindInterface(*served) : nullptr;
  if (!info) info = FindInterface(iid);
  if (!info) {
    SendRelease(reply.service(), path);
    return E_NOINTERFACE;
  }
  // The object lives in the process that answered, even if the name changes hands later.
  ComPtr<IDispatch> proxy(new BusDispatch(reply.service(), path, *info));
  return proxy->QueryInterface(iid, object);
}

}  // namespace platform::dbus
