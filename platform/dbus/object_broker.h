#pragma once
// The objects of one process on one bus connection: those it serves to other processes
// (each under a path of its own, reachable only by the peer it was given to, released
// when that peer lets go or its connection ends) and the proxies through which it calls
// the objects of others. Every served object is called on the application's thread,
// the thread of the broker, whichever thread the bus delivers on.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QObject>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "com.h"

namespace platform::dbus {

// How long, in milliseconds, a client of ours (a peer that calls our objects and may hand us
// objects of its own) may take to answer us: to describe one of its objects, and to answer a
// call we make to one, long enough for a callback that does real work. A call of a client's
// that waits on it is held meanwhile, and the thread goes on serving everyone else. A server
// we call takes as long as its operation does.
inline constexpr int ClientTypeInfoTimeout = 3000;
inline constexpr int ClientCallTimeout = 60000;
// How many calls of one client may be held at a time, the one that waits on it and those
// queued behind it; the client's further calls are refused with RPC_E_SERVERCALL_RETRYLATER.
inline constexpr size_t ClientHeldCallLimit = 32;
// How many calls of all clients together may be held. Each held call keeps a stack of its
// own, two mappings of 9 MB address space of which it touches some pages: 1024 stacks take
// 2048 of the kernel's 65530 mappings and tens of MB of memory, and serve 32 clients at
// their own limit. Past it, a call that would queue, or wait held on its client, is refused
// with RPC_E_SERVERCALL_RETRYLATER; a call that needs no wait is still served.
inline constexpr size_t HeldCallLimit = 1024;

struct ClientTimeouts {
  int typeInfo = ClientTypeInfoTimeout;
  int call = ClientCallTimeout;
};

// Whom an object of another process belongs to: a server we called, or a client of ours.
enum class PeerRole { Server, Client };

// Turns the bus connection to an object into the interface the caller asked for;
// returns the interface with one reference.
using ProxyMaker = IUnknown* (*)(IDispatch* bus);

// Makes an interface callable in a server of another process with a typed view: its
// type information says how each call is carried; the maker builds the typed interface.
void RegisterInterface(const InterfaceInfo& info, ProxyMaker maker);
const InterfaceInfo* FindInterface(REFIID iid);

class ObjectBroker : public QObject {
  Q_OBJECT

 public:
  // The broker of the connection, made on first use.
  static ObjectBroker& For(const QDBusConnection& connection);
  ~ObjectBroker() override;

  const QDBusConnection& Connection() const { return connection_; }
  QString UniqueName() const { return connection_.baseService(); }

  // The class factories served under /com/class.
  bool AddFactory(REFCLSID clsid, ComPtr<IClassFactory> factory);
  void RemoveFactories();
  // Releases every object served to any peer.
  void ReleaseAll();
  size_t ObjectCount() const;

  // The reference through which a peer reaches an object (exported for that peer), or
  // an invalid QVariant when the object has no automation interface.
  QVariant Reference(const ComPtr<IUnknown>& object, const QString& peer);
  // The object a peer's reference names: our own object when the reference comes
  // back from the peer it was given to, else a proxy of the peer's object. RPC_E_TIMEOUT
  // when a client did not describe its object in time.
  HRESULT Resolve(const QVariant& reference, const QString& peer, PeerRole role, ComPtr<IDispatch>& object);
  // A proxy for an object of another process.
  HRESULT Proxy(const QString& owner, const QString& path, REFIID iid, ComPtr<IDispatch>& object,
                PeerRole role = PeerRole::Server);
  // Whether the peer holds objects of ours, so that it may call back during our call to it.
  bool Serves(const QString& peer) const;
  // Around a call to the peer: the peer's releases wait until its reply has been read,
  // since that reply may hand back an object of ours that it then lets go.
  void BeginCall(const QString& peer);
  void EndCall(const QString& peer);
  // A client's reply to a call of ours, waited for at most bound ms: a served call that waits
  // is held meanwhile, other code on the broker's thread turns a loop of its own. S_OK with
  // the reply (an error one too); RPC_E_TIMEOUT when none came within the bound;
  // RPC_E_SERVERCALL_RETRYLATER, without asking, when no more calls may be held.
  HRESULT AwaitClient(const QDBusMessage& call, int bound, QDBusMessage& reply);
  // A server's reply, as long as it takes; with serving, on the broker's thread, our objects
  // are served meanwhile (the server may call one back).
  QDBusMessage AwaitServer(const QDBusMessage& call, bool serving);
  // Tests shorten the bounds.
  void SetClientTimeouts(ClientTimeouts timeouts);
  ClientTimeouts Timeouts() const;

  class Exporter;

 private:
  explicit ObjectBroker(QDBusConnection connection);
  struct Entry {
    ComPtr<IDispatch> object;
    const InterfaceInfo* info;
    QString holder;  // the only peer that may call or release it
  };
  // A client's call to one of our objects, on a stack of its own so that it can be held.
  struct HeldCall;
  // The calls of one client to our objects, run in the order it sent them.
  struct ClientLine {
    std::deque<std::pair<QDBusMessage, Entry>> waiting;  // behind the running one
    std::unique_ptr<HeldCall> running;
    // Calls that came while we waited on a call to the client itself: it may be answering
    // us through them, so they do not wait behind the call that waits for the answer.
    std::vector<std::unique_ptr<HeldCall>> answering;
    size_t Held() const { return waiting.size() + (running ? 1 : 0) + answering.size(); }
  };

  bool EnsureExported();
  HRESULT InterfaceOf(const QString& owner, const QString& path, REFIID iid, PeerRole role, const InterfaceInfo*& info);
  // Serves the object to the peer under a new path; false for an object without automation.
  bool Export(const ComPtr<IUnknown>& object, const QString& peer, QString& path, IID& iid);
  void Watch(const QString& peer);
  void ReleaseObjectsOf(const QString& peer);
  bool Handle(const QDBusMessage& message);
  void CreateInstance(const QDBusMessage& message, IClassFactory* factory);
  // Runs a client's call in its turn, or refuses it when the client, or all, hold too many.
  void Serve(const QDBusMessage& message, Entry entry);
  // The call on a stack of its own; null, with the call refused, when no stack can be had.
  std::unique_ptr<HeldCall> Start(const QString& client, const QDBusMessage& message, Entry entry);
  void Refuse(const QDBusMessage& message);
  size_t HeldCalls() const;
  void Continue(HeldCall* call);
  void Finished(HeldCall* call);
  void DropCallsOf(const QString& peer);
  void Call(const QDBusMessage& message, const Entry& entry);
  QString Introspect(const QString& path, const QString& caller) const;

  QDBusConnection connection_;
  std::unique_ptr<Exporter> exporter_;
  QDBusServiceWatcher watcher_;
  mutable std::recursive_mutex mutex_;  // the tables, reached from callers' threads too
  bool exported_ = false;
  std::map<QString, ComPtr<IClassFactory>> factories_;  // by path
  std::map<QString, Entry> objects_;                    // by path
  std::map<QString, Entry> releasing_;                  // released during a call to their holder
  std::map<QString, int> callsTo_;                      // calls in flight, by peer
  std::map<QString, ClientLine> lines_;                 // by client; the broker's thread only
  uint64_t nextObject_ = 1;
  ClientTimeouts timeouts_;
};

}  // namespace platform::dbus
