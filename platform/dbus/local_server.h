#pragma once
// Serves the objects of a program's classes to other processes on the session bus:
// the class factories under their CLSIDs, every object created for a client under a
// path of its own. When a client's connection goes away, its objects are released.

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>

#include "com.h"

namespace platform::dbus {

class LocalServer : public QObject {
  Q_OBJECT

 public:
  explicit LocalServer(QString busName, QDBusConnection connection = QDBusConnection::sessionBus());
  ~LocalServer() override;

  // Before Start: the classes this program serves.
  void RegisterClassObject(REFCLSID clsid, IClassFactory* factory);
  // Exports the factories and takes the bus name. A name that another process holds
  // fails with HRESULT_FROM_WIN32(ERROR_SERVICE_ALREADY_RUNNING); no bus, with CO_E_SERVER_EXEC_FAILURE.
  HRESULT Start();
  // Revokes the factories, releases the name and every object still held by a client.
  void Stop();

  size_t ObjectCount() const { return objects_.size(); }

 signals:
  // The session bus went away (the session ended): nobody can reach the server any more.
  void busLost();

 public:
  const QDBusConnection& Connection() const { return connection_; }

 private:
  class Exporter;
  struct Entry {
    ComPtr<IDispatch> object;
    const InterfaceInfo* info;
    QString owner;
  };

  bool Handle(const QDBusMessage& message);
  void CreateInstance(const QDBusMessage& message, IClassFactory* factory);
  void Call(const QDBusMessage& message, Entry& entry);
  // Makes an object reachable by the client; returns its path.
  QDBusObjectPath Export(ComPtr<IDispatch> object, const QString& owner);
  void ReleaseObjectsOf(const QString& owner);
  QString IntrospectPath(const QString& path) const;

  const QString busName_;
  QDBusConnection connection_;
  std::unique_ptr<Exporter> exporter_;
  QDBusServiceWatcher watcher_;
  std::map<QString, ComPtr<IClassFactory>> factories_;  // by path
  std::map<QString, Entry> objects_;                    // by path
  uint64_t nextObject_ = 1;
  QTimer busCheck_;
  bool started_ = false;
};

}  // namespace platform::dbus
