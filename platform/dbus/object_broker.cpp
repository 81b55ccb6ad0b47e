#include "object_broker.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <climits>
#include <utility>
#include <vector>

#include "dbus_marshal.h"
#include "fiber.h"

namespace platform::dbus {

namespace {

// Calls to a server wait as long as it takes: its operator may be answering a dialog.
constexpr int WaitWithoutEnd = INT_MAX;
// The bus gives up on a client's answer only after our own bound has passed.
constexpr int BusSlack = 1000;

// Whether an error in place of an answer means that the peer, or the bus, went away.
bool PeerLeft(const QDBusMessage& reply) {
  static const QStringList gone{"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.ServiceUnknown",
                                "org.freedesktop.DBus.Error.NameHasNoOwner", "org.freedesktop.DBus.Error.Disconnected"};
  return gone.contains(reply.errorName());
}

// ---- interfaces known to this program, and those learnt from servers ----

struct Catalog {
  std::mutex mutex;
  std::vector<std::pair<const InterfaceInfo*, ProxyMaker>> entries;
  std::map<std::string, std::shared_ptr<const InterfaceInfo>> learnt;  // by IID, kept for the process
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

uint16_t FlagsFor(MemberKind kind) {
  switch (kind) {
    case MemberKind::PropertyGet: return DISPATCH_PROPERTYGET;
    case MemberKind::PropertyPut: return DISPATCH_PROPERTYPUT;
    default: return DISPATCH_METHOD;
  }
}

QDBusMessage CallObject(const QString& owner, const QString& path, const QString& interface,
                        const QString& member) {
  auto call = QDBusMessage::createMethodCall(owner, path, interface, member);
  call.setAutoStartService(false);  // objects die with their process: no new one would know them
  return call;
}

// Object references of one exchange with one peer; objects exported on the way are
// remembered, so that a reply that cannot be sent takes them back.
class PeerTransport final : public ObjectTransport {
 public:
  PeerTransport(ObjectBroker& broker, QString peer, PeerRole role)
      : broker_(broker), peer_(std::move(peer)), role_(role) {}
  QVariant Export(const ComPtr<IUnknown>& object) override { return broker_.Reference(object, peer_); }
  bool Import(const QVariant& reference, ComPtr<IDispatch>& object) override {
    HRESULT hr = broker_.Resolve(reference, peer_, role_, object);
    if (FAILED(hr)) failure_ = hr;
    return SUCCEEDED(hr);
  }
  // Why the last reference that could not be taken in was refused.
  HRESULT Failure() const { return failure_; }

 private:
  ObjectBroker& broker_;
  const QString peer_;
  const PeerRole role_;
  HRESULT failure_ = S_OK;
};

// One object of another process, reached through its path. Released, it releases the other's object.
class BusDispatch final : public TypeInfoDispatch<IDispatch>, private ComObjectRoot {
 public:
  BusDispatch(ObjectBroker& broker, QString owner, QString path, const InterfaceInfo& info, PeerRole role)
      : broker_(broker), owner_(std::move(owner)), path_(std::move(path)), info_(info), role_(role) {}
  ~BusDispatch() override { broker_.Connection().send(CallObject(owner_, path_, ObjectInterface, "Release")); }

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

  HRESULT Invoke(DISPID id, REFIID, uint32_t, uint16_t flags, DISPPARAMS* params, Variant* result, EXCEPINFO* exception,
                 uint32_t* argError) override {
    const MemberInfo* member = nullptr;
    HRESULT hr = PrepareInvoke(info_, id, flags, params, argError, member);
    if (FAILED(hr)) return hr;
    QDBusMessage call = CallObject(owner_, path_, InterfaceName(info_), MethodName(*member));
    PeerTransport objects(broker_, owner_, role_);
    QVariantList args;
    for (size_t i = 0; i < member->params.size(); ++i) {
      const ParamInfo& p = member->params[i];
      if (p.dir == ParamDir::Out) continue;
      QVariant value = ToBus(params->args[i], p.type, p.bytes, objects);
      if (!value.isValid()) {
        if (argError) *argError = uint32_t(i);
        return DISP_E_TYPEMISMATCH;
      }
      args << value;
    }
    call.setArguments(args);
    broker_.BeginCall(owner_);
    struct CallEnd {
      ObjectBroker& broker;
      const QString& peer;
      ~CallEnd() { broker.EndCall(peer); }
    } end{broker_, owner_};
    // A client's object answers within the bound; a call from the broker's thread to a server
    // that holds objects of ours keeps serving them (it may call one back).
    QDBusMessage reply;
    if (role_ == PeerRole::Server) reply = broker_.AwaitServer(call, broker_.Serves(owner_));
    else if (HRESULT waited = broker_.AwaitClient(call, broker_.Timeouts().call, reply); FAILED(waited)) return waited;
    if (reply.type() != QDBusMessage::ReplyMessage)
      return reply.type() == QDBusMessage::ErrorMessage ? RPC_E_DISCONNECTED : RPC_E_SERVERFAULT;
    const QVariantList out = reply.arguments();
    if (out.isEmpty() || out[0].metaType().id() != QMetaType::Int) return RPC_E_SERVERFAULT;
    hr = out[0].toInt();
    if (FAILED(hr)) {
      ReadFailure(out, argError, exception);
      return hr;
    }
    // Out values are written only when every one of them arrived.
    std::vector<Variant> values;
    qsizetype next = 1;
    auto take = [&](VARTYPE type, bool bytes) {
      Variant v;
      if (next >= out.size() || !FromBus(out[next++], type, bytes, objects, v)) return false;
      values.push_back(std::move(v));
      return true;
    };
    for (const ParamInfo& p : member->params)
      if (p.dir != ParamDir::In && !take(p.type, p.bytes)) return RPC_E_SERVERFAULT;
    if (member->result != VT_EMPTY && !take(member->result, false)) return RPC_E_SERVERFAULT;
    size_t v = 0;
    for (size_t i = 0; i < member->params.size(); ++i)
      if (member->params[i].dir != ParamDir::In) params->args[i] = std::move(values[v++]).ByRef(params->args[i].IsByRef());
    if (result) *result = member->result != VT_EMPTY ? std::move(values[v]) : Variant();
    return hr;
  }

 protected:
  const InterfaceInfo& TypeInformation() const override { return info_; }

 public:
  const QString& Owner() const { return owner_; }
  QVariant Reference() const { return MakeReference(owner_, path_, info_.iid); }

 private:
  ObjectBroker& broker_;
  const QString owner_;
  const QString path_;
  const InterfaceInfo& info_;
  const PeerRole role_;
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

// ---- the broker ----

class ObjectBroker::Exporter : public QDBusVirtualObject {
 public:
  explicit Exporter(ObjectBroker& broker) : broker_(broker) {}
  // The full answer, with the caller's own children, is given by Handle.
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override { return broker_.Handle(message); }

 private:
  ObjectBroker& broker_;
};

ObjectBroker& ObjectBroker::For(const QDBusConnection& connection) {
  static std::mutex mutex;
  static std::map<QString, ObjectBroker*> brokers;  // live as long as the process
  std::lock_guard lock(mutex);
  ObjectBroker*& broker = brokers[connection.name()];
  if (!broker) broker = new ObjectBroker(connection);
  return *broker;
}

ObjectBroker::ObjectBroker(QDBusConnection connection)
    : connection_(std::move(connection)), exporter_(std::make_unique<Exporter>(*this)), watcher_(this) {
  exporter_->setParent(this);
  watcher_.setConnection(connection_);
  watcher_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString& peer) {
    watcher_.removeWatchedService(peer);
    DropCallsOf(peer);
    ReleaseObjectsOf(peer);
  });
  // Served objects are called on the application's thread, whoever made the broker.
  if (QCoreApplication* app = QCoreApplication::instance(); app && app->thread() != thread()) moveToThread(app->thread());
}

ObjectBroker::~ObjectBroker() { exporter_->setParent(nullptr); }

bool ObjectBroker::EnsureExported() {
  std::lock_guard lock(mutex_);
  if (!exported_)
    exported_ = connection_.registerVirtualObject(ObjectRoot, exporter_.get(), QDBusConnection::SubPath);
  return exported_;
}

bool ObjectBroker::AddFactory(REFCLSID clsid, ComPtr<IClassFactory> factory) {
  if (!EnsureExported()) return false;
  std::lock_guard lock(mutex_);
  factories_[FactoryPath(clsid)] = std::move(factory);
  return true;
}

void ObjectBroker::RemoveFactories() {
  std::map<QString, ComPtr<IClassFactory>> gone;
  std::lock_guard lock(mutex_);
  gone.swap(factories_);
}

void ObjectBroker::ReleaseAll() {
  std::map<QString, Entry> gone;  // released outside the table's lock: a release may call back
  {
    std::lock_guard lock(mutex_);
    gone.swap(objects_);
  }
}

size_t ObjectBroker::ObjectCount() const {
  std::lock_guard lock(mutex_);
  return objects_.size();
}

void ObjectBroker::BeginCall(const QString& peer) {
  std::lock_guard lock(mutex_);
  ++callsTo_[peer];
}

void ObjectBroker::EndCall(const QString& peer) {
  std::vector<Entry> gone;
  std::lock_guard lock(mutex_);
  if (--callsTo_[peer] > 0) return;
  callsTo_.erase(peer);
  for (auto it = releasing_.begin(); it != releasing_.end();) {
    if (it->second.holder == peer) {
      gone.push_back(std::move(it->second));
      it = releasing_.erase(it);
    } else {
      ++it;
    }
  }
}

HRESULT ObjectBroker::AwaitClient(const QDBusMessage& call, int bound, QDBusMessage& reply) {
  // NoReply comes both from the bus's own limit and for a peer that went away; only the time
  // passed tells them apart, since the broker's thread may have been busy past its timer and
  // read the bus's answer late (and the bus's timers may fire a little early).
  QElapsedTimer clock;
  clock.start();
  auto timedOut = [&] { return QDBusError(reply).type() == QDBusError::NoReply && clock.elapsed() >= bound - bound / 10; };
  if (QThread::currentThread() != thread()) {
    reply = connection_.call(call, QDBus::Block, bound);
    return timedOut() ? RPC_E_TIMEOUT : S_OK;
  }
  // A served call of the client's waits held, as long as it is its own code that waits.
  Fiber* held = Fiber::Holdable();
  if (held && HeldCalls() > HeldCallLimit) return RPC_E_SERVERCALL_RETRYLATER;
  QEventLoop loop;
  bool woken = false;
  auto wake = [&] {
    if (std::exchange(woken, true)) return;
    if (held) held->Wake();
    else loop.quit();
  };
  QDBusPendingCall pending = connection_.asyncCall(call, bound + BusSlack);
  QDBusPendingCallWatcher answer(pending);
  QTimer limit;
  limit.setSingleShot(true);
  limit.setTimerType(Qt::PreciseTimer);
  QObject::connect(&answer, &QDBusPendingCallWatcher::finished, &answer, wake);
  QObject::connect(&limit, &QTimer::timeout, &limit, wake);
  limit.start(bound);
  if (!pending.isFinished()) {
    if (held) held->Hold();
    else loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  if (!pending.isFinished()) return RPC_E_TIMEOUT;
  reply = pending.reply();
  return timedOut() ? RPC_E_TIMEOUT : S_OK;
}

QDBusMessage ObjectBroker::AwaitServer(const QDBusMessage& call, bool serving) {
  if (!serving || QThread::currentThread() != thread()) return connection_.call(call, QDBus::Block, WaitWithoutEnd);
  QDBusPendingCall pending = connection_.asyncCall(call, WaitWithoutEnd);
  QDBusPendingCallWatcher watcher(pending);
  QEventLoop loop;
  QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
  if (!pending.isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  return pending.reply();
}

void ObjectBroker::SetClientTimeouts(ClientTimeouts timeouts) {
  std::lock_guard lock(mutex_);
  timeouts_ = timeouts;
}

ClientTimeouts ObjectBroker::Timeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

bool ObjectBroker::Serves(const QString& peer) const {
  std::lock_guard lock(mutex_);
  for (auto& [path, entry] : objects_)
    if (entry.holder == peer) return true;
  return false;
}

QVariant ObjectBroker::Reference(const ComPtr<IUnknown>& object, const QString& peer) {
  if (!object) return MakeReference({}, "/", {});
  QString path;
  IID iid;
  ComPtr<IDispatch> dispatch;
  // A peer's own object goes back to it as itself, not through us.
  if (SUCCEEDED(object.As(IID_IDispatch, dispatch)))
    if (auto* proxy = dynamic_cast<BusDispatch*>(dispatch.Get()); proxy && proxy->Owner() == peer) return proxy->Reference();
  return Export(object, peer, path, iid) ? MakeReference(UniqueName(), path, iid) : QVariant();
}

bool ObjectBroker::Export(const ComPtr<IUnknown>& object, const QString& peer, QString& path, IID& iid) {
  ComPtr<IDispatch> dispatch;
  ComPtr<ITypeInfo> type;
  if (FAILED(object.As(IID_IDispatch, dispatch)) || FAILED(dispatch->GetTypeInfo(0, 0, type.Put())) || !type ||
      !type->Interface() || !EnsureExported())
    return false;
  {
    std::lock_guard lock(mutex_);
    path = QString::fromLatin1(ObjectRoot) + "/object/" + QString::number(nextObject_++);
    objects_[path] = Entry{dispatch, type->Interface(), peer};
  }
  Watch(peer);
  iid = type->Interface()->iid;
  return true;
}

HRESULT ObjectBroker::Resolve(const QVariant& reference, const QString& peer, PeerRole role, ComPtr<IDispatch>& object) {
  QString owner, path;
  IID iid;
  object.Reset();
  if (!ReadReference(reference, owner, path, iid)) return E_INVALIDARG;
  if (path == "/") return owner.isEmpty() ? S_OK : E_INVALIDARG;
  if (owner == UniqueName()) {
    // One of ours coming back: only from the peer it was given to.
    std::lock_guard lock(mutex_);
    for (auto* table : {&objects_, &releasing_})
      if (auto it = table->find(path); it != table->end() && it->second.holder == peer) {
        object = it->second.object;
        return S_OK;
      }
    return E_INVALIDARG;
  }
  // Another process's object, named by the peer: only the peer's own are taken, so a
  // peer cannot make us call a third process in its name.
  if (owner != peer) return E_INVALIDARG;
  return Proxy(owner, path, iid, object, role);
}

HRESULT ObjectBroker::Proxy(const QString& owner, const QString& path, REFIID iid, ComPtr<IDispatch>& object,
                            PeerRole role) {
  const InterfaceInfo* info = nullptr;
  if (HRESULT hr = InterfaceOf(owner, path, iid, role, info); FAILED(hr)) {
    connection_.send(CallObject(owner, path, ObjectInterface, "Release"));
    return hr;
  }
  object = ComPtr<IDispatch>(new BusDispatch(*this, owner, path, *info, role));
  return S_OK;
}

// The interface of an object: known to this program, or asked of the process that holds it.
HRESULT ObjectBroker::InterfaceOf(const QString& owner, const QString& path, REFIID iid, PeerRole role,
                                  const InterfaceInfo*& info) {
  if ((info = FindInterface(iid))) return S_OK;
  Catalog& c = TheCatalog();
  {
    std::lock_guard lock(c.mutex);
    if (auto it = c.learnt.find(iid.ToString()); it != c.learnt.end()) {
      info = it->second.get();
      return S_OK;
    }
  }
  const QDBusMessage question = CallObject(owner, path, ObjectInterface, "GetTypeInfo");
  QDBusMessage reply;
  if (role == PeerRole::Server) reply = AwaitServer(question, false);
  else if (HRESULT waited = AwaitClient(question, Timeouts().typeInfo, reply); FAILED(waited)) return waited;
  if (reply.type() == QDBusMessage::ErrorMessage) return PeerLeft(reply) ? RPC_E_DISCONNECTED : E_NOINTERFACE;
  auto learnt = ParseInterface(reply.arguments().value(0).toString());
  if (!learnt || learnt->iid != iid) return E_NOINTERFACE;
  std::lock_guard lock(c.mutex);
  info = c.learnt.emplace(iid.ToString(), learnt).first->second.get();
  return S_OK;
}

void ObjectBroker::Watch(const QString& peer) {
  if (QThread::currentThread() != thread()) {
    QMetaObject::invokeMethod(this, [this, peer] { Watch(peer); }, Qt::QueuedConnection);
    return;
  }
  if (!watcher_.watchedServices().contains(peer)) watcher_.addWatchedService(peer);
  // A peer that vanished before we started watching would never be seen to go.
  if (!connection_.interface()->isServiceRegistered(peer)) ReleaseObjectsOf(peer);
}

void ObjectBroker::ReleaseObjectsOf(const QString& peer) {
  std::vector<Entry> gone;
  std::lock_guard lock(mutex_);
  for (auto* table : {&objects_, &releasing_})
    for (auto it = table->begin(); it != table->end();) {
      if (it->second.holder == peer) {
        gone.push_back(std::move(it->second));
        it = table->erase(it);
      } else {
        ++it;
      }
    }
}

bool ObjectBroker::Handle(const QDBusMessage& message) {
  const QString path = message.path();
  const QString caller = message.service();
  if (message.interface() == "org.freedesktop.DBus.Introspectable" && message.member() == "Introspect") {
    connection_.send(message.createReply(
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n" +
        Introspect(path, caller) + "</node>\n"));
    return true;
  }
  ComPtr<IClassFactory> factory;
  Entry entry;
  {
    std::lock_guard lock(mutex_);
    if (auto f = factories_.find(path); f != factories_.end()) {
      factory = f->second;
    } else {
      auto o = objects_.find(path);
      // Only the peer an object was given to may reach it; to others it does not exist.
      if (o == objects_.end() || o->second.holder != caller) return false;
      entry = o->second;
    }
  }
  if (factory) {
    if (message.interface() != FactoryInterface && !message.interface().isEmpty()) return false;
    if (message.member() != "CreateInstance") return false;
    CreateInstance(message, factory.Get());
    return true;
  }
  if (message.interface().isEmpty() || message.interface() == ObjectInterface) {
    if (message.member() == "Release") {
      std::map<QString, Entry>::node_type gone;
      {
        std::lock_guard lock(mutex_);
        gone = objects_.extract(path);
        if (gone && callsTo_.count(caller)) releasing_.insert(std::move(gone));
      }
      if (message.isReplyRequired()) connection_.send(message.createReply());
      return true;
    }
    if (message.member() == "GetTypeInfo") {
      connection_.send(message.createReply(SerializeInterface(*entry.info)));
      return true;
    }
  }
  Serve(message, std::move(entry));
  return true;
}

struct ObjectBroker::HeldCall {
  explicit HeldCall(QString caller) : client(std::move(caller)) {}
  const QString client;
  std::unique_ptr<Fiber> fiber;
};

std::unique_ptr<ObjectBroker::HeldCall> ObjectBroker::Start(const QString& client, const QDBusMessage& message,
                                                            Entry entry) {
  auto call = std::make_unique<HeldCall>(client);
  HeldCall* self = call.get();
  call->fiber = Fiber::Make([this, message, entry = std::move(entry)] { Call(message, entry); },
                            // Resumed from the event loop, not from inside the signal that brought the answer.
                            [this, self] { QMetaObject::invokeMethod(this, [this, self] { Continue(self); }, Qt::QueuedConnection); });
  if (!call->fiber) {
    Refuse(message);
    return nullptr;
  }
  return call;
}

void ObjectBroker::Refuse(const QDBusMessage& message) {
  connection_.send(message.createReply(QVariantList{QVariant::fromValue(int(RPC_E_SERVERCALL_RETRYLATER))} +
                                       FailureArguments(0, EXCEPINFO{})));
}

size_t ObjectBroker::HeldCalls() const {
  size_t held = 0;
  for (auto& [client, line] : lines_) held += line.Held();
  return held;
}

void ObjectBroker::Serve(const QDBusMessage& message, Entry entry) {
  const QString client = message.service();
  auto found = lines_.try_emplace(client).first;
  ClientLine& line = found->second;
  if (line.Held() >= ClientHeldCallLimit) return Refuse(message);
  bool answering = false;
  if (line.running) {
    std::lock_guard lock(mutex_);
    answering = callsTo_.count(client) > 0;
  }
  if (line.running && !answering) {
    if (HeldCalls() >= HeldCallLimit) return Refuse(message);
    line.waiting.emplace_back(message, std::move(entry));
    return;
  }
  std::unique_ptr<HeldCall> call = Start(client, message, std::move(entry));
  if (!call) {
    if (!line.Held()) lines_.erase(found);
    return;
  }
  HeldCall* started = call.get();
  (answering ? line.answering.emplace_back() : line.running) = std::move(call);
  Continue(started);
}

void ObjectBroker::Continue(HeldCall* call) {
  if (call->fiber->Resume()) Finished(call);
}

void ObjectBroker::Finished(HeldCall* call) {
  auto found = lines_.find(call->client);
  ClientLine& line = found->second;
  if (line.running.get() == call) {
    line.running.reset();
    // The client's next call, now that the one before it is done.
    while (!line.running && !line.waiting.empty()) {
      auto [message, entry] = std::move(line.waiting.front());
      line.waiting.pop_front();
      line.running = Start(found->first, message, std::move(entry));
      if (line.running && line.running->fiber->Resume()) line.running.reset();
    }
  } else {
    std::erase_if(line.answering, [call](const auto& held) { return held.get() == call; });
  }
  if (!line.Held()) lines_.erase(found);
}

void ObjectBroker::DropCallsOf(const QString& peer) {
  // Calls it sent and that have not begun go unanswered: there is no one to answer. Those
  // held end by themselves, as their wait on the peer fails.
  if (auto found = lines_.find(peer); found != lines_.end()) {
    found->second.waiting.clear();
    if (!found->second.Held()) lines_.erase(found);
  }
}

void ObjectBroker::CreateInstance(const QDBusMessage& message, IClassFactory* factory) {
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
  QString path;
  IID served;
  if (!Export(object, message.service(), path, served)) return reply(E_NOINTERFACE, "/", "");
  reply(S_OK, path, QString::fromStdString(served.ToString()));
}

void ObjectBroker::Call(const QDBusMessage& message, const Entry& entry) {
  const MemberInfo* member = nullptr;
  if (message.interface().isEmpty() || message.interface() == InterfaceName(*entry.info))
    for (const MemberInfo& m : entry.info->members)
      if (MethodName(m) == message.member()) member = &m;
  if (!member) {
    connection_.send(message.createErrorReply(QDBusError::UnknownMethod, "No such member: " + message.member()));
    return;
  }
  const QString caller = message.service();
  PeerTransport objects(*this, caller, PeerRole::Client);
  const QVariantList in = message.arguments();
  DISPPARAMS params;
  Variant result;
  EXCEPINFO exception;
  uint32_t argError = 0;
  auto fail = [&](HRESULT code) {
    connection_.send(message.createReply(QVariantList{QVariant::fromValue(int(code))} + FailureArguments(argError, exception)));
  };
  qsizetype next = 0;
  for (size_t i = 0; i < member->params.size(); ++i) {
    const ParamInfo& p = member->params[i];
    Variant v;
    if (p.dir != ParamDir::Out && (next >= in.size() || !FromBus(in[next++], p.type, p.bytes, objects, v))) {
      // An object the caller did not describe, or not in time, is no malformed argument: the
      // caller learns which one it was and why.
      if (HRESULT why = objects.Failure(); FAILED(why) && why != E_INVALIDARG) {
        argError = uint32_t(i);
        return fail(why);
      }
      connection_.send(message.createErrorReply(QDBusError::InvalidArgs, "Arguments do not match " + message.member()));
      return;
    }
    params.args.push_back(std::move(v));
  }
  if (next != in.size()) {
    connection_.send(message.createErrorReply(QDBusError::InvalidArgs, "Too many arguments for " + message.member()));
    return;
  }
  HRESULT hr = entry.object->Invoke(member->id, IID_IDispatch, 0, FlagsFor(member->kind), &params, &result, &exception,
                                    &argError);
  if (FAILED(hr)) return fail(hr);
  // Objects exported for this reply are taken back if it cannot go.
  uint64_t firstExport;
  {
    std::lock_guard lock(mutex_);
    firstExport = nextObject_;
  }
  auto takeBack = [&] {
    std::vector<Entry> gone;
    std::lock_guard lock(mutex_);
    for (auto it = objects_.begin(); it != objects_.end();) {
      bool fresh = it->first.section('/', -1).toULongLong() >= firstExport && it->second.holder == caller;
      if (fresh) gone.push_back(std::move(it->second));
      it = fresh ? objects_.erase(it) : std::next(it);
    }
  };
  QVariantList out{QVariant::fromValue(int(hr))};
  bool whole = true;
  for (size_t i = 0; i < member->params.size() && whole; ++i)
    if (member->params[i].dir != ParamDir::In) {
      QVariant v = ToBus(params.args[i], member->params[i].type, member->params[i].bytes, objects);
      whole = v.isValid();
      out << v;
    }
  if (whole && member->result != VT_EMPTY) {
    QVariant v = ToBus(result, member->result, false, objects);
    whole = v.isValid();
    out << v;
  }
  // Every call gets its reply: one that cannot be built or sent becomes a failure.
  if (!whole || !connection_.send(message.createReply(out))) {
    takeBack();
    exception = {};
    fail(RPC_E_SERVERFAULT);
  }
}

QString ObjectBroker::Introspect(const QString& path, const QString& caller) const {
  std::lock_guard lock(mutex_);
  if (factories_.count(path)) {
    return QString("  <interface name=\"%1\">\n    <method name=\"CreateInstance\">\n"
                   "      <arg name=\"iid\" type=\"s\" direction=\"in\"/>\n"
                   "      <arg name=\"hresult\" type=\"i\" direction=\"out\"/>\n"
                   "      <arg name=\"object\" type=\"o\" direction=\"out\"/>\n"
                   "      <arg name=\"interface\" type=\"s\" direction=\"out\"/>\n"
                   "    </method>\n  </interface>\n")
        .arg(FactoryInterface);
  }
  if (auto o = objects_.find(path); o != objects_.end() && o->second.holder == caller) return IntrospectionXml(*o->second.info);
  // The children the caller may reach: the factories and its own objects.
  QStringList children;
  auto addChild = [&](const QString& full) {
    if (!full.startsWith(path + (path.endsWith('/') ? "" : "/"))) return;
    QString child = full.mid(path.size() + (path.endsWith('/') ? 0 : 1)).section('/', 0, 0);
    if (!children.contains(child)) children << child;
  };
  for (auto& [p, f] : factories_) addChild(p);
  for (auto& [p, e] : objects_)
    if (e.holder == caller) addChild(p);
  QString xml;
  for (const QString& c : children) xml += QString("  <node name=\"%1\"/>\n").arg(c);
  return xml;
}

}  // namespace platform::dbus
