#include "local_server.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "dbus_marshal.h"

namespace platform::dbus {

namespace {

constexpr uint32_t ErrorServiceAlreadyRunning = 1056;

uint16_t FlagsFor(MemberKind kind) {
  switch (kind) {
    case MemberKind::PropertyGet: return DISPATCH_PROPERTYGET;
    case MemberKind::PropertyPut: return DISPATCH_PROPERTYPUT;
    default: return DISPATCH_METHOD;
  }
}

}  // namespace

class LocalServer::Exporter : public QDBusVirtualObject {
 public:
  explicit Exporter(LocalServer& server) : server_(server) {}
  QString introspect(const QString& path) const override { return server_.IntrospectPath(path); }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override { return server_.Handle(message); }

 private:
  LocalServer& server_;
};

LocalServer::LocalServer(QString busName, QDBusConnection connection)
    : busName_(std::move(busName)), connection_(std::move(connection)), exporter_(std::make_unique<Exporter>(*this)) {
  watcher_.setConnection(connection_);
  watcher_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString& owner) {
    watcher_.removeWatchedService(owner);
    ReleaseObjectsOf(owner);
  });
  busCheck_.setInterval(1000);
  connect(&busCheck_, &QTimer::timeout, this, [this] {
    if (!connection_.isConnected()) {
      busCheck_.stop();
      emit busLost();
    }
  });
}

LocalServer::~LocalServer() { Stop(); }

void LocalServer::RegisterClassObject(REFCLSID clsid, IClassFactory* factory) {
  factories_[FactoryPath(clsid)] = ComPtr<IClassFactory>(factory);
}

HRESULT LocalServer::Start() {
  if (!connection_.isConnected()) return CO_E_SERVER_EXEC_FAILURE;
  if (!connection_.registerVirtualObject(ObjectRoot, exporter_.get(), QDBusConnection::SubPath))
    return CO_E_SERVER_EXEC_FAILURE;
  // The name is taken last, so a client that activated us is served from its first call.
  if (!connection_.registerService(busName_)) {
    connection_.unregisterObject(ObjectRoot, QDBusConnection::UnregisterTree);
    return HRESULT_FROM_WIN32(ErrorServiceAlreadyRunning);
  }
  started_ = true;
  busCheck_.start();
  return S_OK;
}

void LocalServer::Stop() {
  if (!started_) return;
  started_ = false;
  busCheck_.stop();
  connection_.unregisterService(busName_);
  connection_.unregisterObject(ObjectRoot, QDBusConnection::UnregisterTree);
  factories_.clear();
  auto objects = std::move(objects_);  // released outside the table: a release may call back
  objects_.clear();
}

bool LocalServer::Handle(const QDBusMessage& message) {
  const QString path = message.path();
  if (message.interface() == "org.freedesktop.DBus.Introspectable" && message.member() == "Introspect") {
    connection_.send(message.createReply(
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n" +
        IntrospectPath(path) + "</node>\n"));
    return true;
  }
  if (auto f = factories_.find(path); f != factories_.end()) {
    if (message.interface() != FactoryInterface && !message.interface().isEmpty()) return false;
    if (message.member() != "CreateInstance") return false;
    CreateInstance(message, f->second.Get());
    return true;
  }
  auto o = objects_.find(path);
  if (o == objects_.end()) return false;
  // Only the client that created an object may use it.
  if (o->second.owner != message.service()) return false;
  if (message.member() == "Release" && (message.interface().isEmpty() || message.interface() == ObjectInterface)) {
    Entry gone = std::move(o->second);
    objects_.erase(o);
    if (!message.isReplyRequired()) return true;
    connection_.send(message.createReply());
    return true;
  }
  Call(message, o->second);
  return true;
}

void LocalServer::CreateInstance(const QDBusMessage& message, IClassFactory* factory) {
  auto reply = [&](HRESULT hr, const QString& path, const QString& iid) {
    connection_.send(message.createReply({QVariant::fromValue(int(hr)), QVariant::fromValue(QDBusObjectPath(path)),
                                          QVariant::fromValue(iid)}));
  };
  auto args = message.arguments();
  std::optional<GUID> iid;
  if (args.size() == 1 && args[0].metaType().id() == QMetaType::QString) iid = GUID::Parse(args[0].toString().toStdString());
  if (!iid) return reply(E_INVALIDARG, "/", "");
  ComPtr<IUnknown> object;
  HRESULT hr = factory->CreateInstance(nullptr, *iid, object.PutVoid());
  if (FAILED(hr)) return reply(hr, "/", "");
  ComPtr<IDispatch> dispatch;
  hr = object.As(IID_IDispatch, dispatch);
  if (FAILED(hr)) return reply(E_NOINTERFACE, "/", "");
  ComPtr<ITypeInfo> type;
  if (FAILED(dispatch->GetTypeInfo(0, 0, type.Put())) || !type->Interface()) return reply(E_NOINTERFACE, "/", "");
  QDBusObjectPath path = Export(dispatch, message.service());
  reply(S_OK, path.path(), QString::fromStdString(type->Interface()->iid.ToString()));
}

QDBusObjectPath LocalServer::Export(ComPtr<IDispatch> object, const QString& owner) {
  ComPtr<ITypeInfo> type;
  object->GetTypeInfo(0, 0, type.Put());
  QString path = QString::fromLatin1(ObjectRoot) + "/object/" + QString::number(nextObject_++);
  objects_[path] = Entry{std::move(object), type ? type->Interface() : nullptr, owner};
  if (!watcher_.watchedServices().contains(owner)) watcher_.addWatchedService(owner);
  // A client that vanished before we started watching would never be seen to go.
  if (!connection_.interface()->isServiceRegistered(owner)) ReleaseObjectsOf(owner);
  return QDBusObjectPath(path);
}

void LocalServer::Call(const QDBusMessage& message, Entry& entry) {
  const MemberInfo* member = nullptr;
  if (entry.info && (message.interface().isEmpty() || message.interface() == InterfaceName(*entry.info)))
    for (const MemberInfo& m : entry.info->members)
      if (MethodName(m) == message.member()) member = &m;
  if (!member) {
    connection_.send(message.createErrorReply(QDBusError::UnknownMethod, "No such member: " + message.member()));
    return;
  }
  const QVariantList in = message.arguments();
  DISPPARAMS params;
  qsizetype next = 0;
  for (const ParamInfo& p : member->params) {
    Variant v;
    if (p.dir == ParamDir::Out) {
      v = p.type == VT_BSTR ? Variant(Bstr()) : p.type == VT_DISPATCH ? Variant(ComPtr<IDispatch>()) : Variant::Of(p.type, 0);
    } else if (next >= in.size() || !FromBus(in[next++], p.type, p.bytes, v)) {
      connection_.send(message.createErrorReply(QDBusError::InvalidArgs, "Arguments do not match " + message.member()));
      return;
    }
    params.args.push_back(std::move(v));
  }
  if (next != in.size()) {
    connection_.send(message.createErrorReply(QDBusError::InvalidArgs, "Too many arguments for " + message.member()));
    return;
  }
  ComPtr<IDispatch> object = entry.object;  // the call may release the entry
  QString owner = entry.owner;
  Variant result;
  HRESULT hr = object->Invoke(member->id, IID_IDispatch, 0, FlagsFor(member->kind), &params, &result, nullptr, nullptr);
  QVariantList out{QVariant::fromValue(int(hr))};
  auto toBus = [&](const Variant& v, VARTYPE type, bool bytes) -> QVariant {
    if (type != VT_DISPATCH) return ToBus(v, type, bytes);
    if (!v.Dispatch()) return QVariant::fromValue(QDBusObjectPath("/"));
    return QVariant::fromValue(Export(v.Dispatch(), owner));
  };
  for (size_t i = 0; i < member->params.size(); ++i)
    if (member->params[i].dir != ParamDir::In) out << toBus(params.args[i], member->params[i].type, member->params[i].bytes);
  if (member->result != VT_EMPTY) out << toBus(result, member->result, false);
  if (FAILED(hr)) out = {QVariant::fromValue(int(hr))};  // out values of a failed call mean nothing
  connection_.send(message.createReply(out));
}

void LocalServer::ReleaseObjectsOf(const QString& owner) {
  std::vector<Entry> gone;
  for (auto it = objects_.begin(); it != objects_.end();) {
    if (it->second.owner == owner) {
      gone.push_back(std::move(it->second));
      it = objects_.erase(it);
    } else {
      ++it;
    }
  }
}

QString LocalServer::IntrospectPath(const QString& path) const {
  if (factories_.count(path)) {
    return QString("  <interface name=\"%1\">\n    <method name=\"CreateInstance\">\n"
                   "      <arg name=\"iid\" type=\"s\" direction=\"in\"/>\n"
                   "      <arg name=\"hresult\" type=\"i\" direction=\"out\"/>\n"
                   "      <arg name=\"object\" type=\"o\" direction=\"out\"/>\n"
                   "      <arg name=\"interface\" type=\"s\" direction=\"out\"/>\n"
                   "    </method>\n  </interface>\n")
        .arg(FactoryInterface);
  }
  if (auto o = objects_.find(path); o != objects_.end() && o->second.info) return IntrospectionXml(*o->second.info);
  return {};
}

}  // namespace platform::dbus
