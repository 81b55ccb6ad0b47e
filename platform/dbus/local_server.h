#pragma once
// Serves the classes of a program to other processes on the session bus: their
// factories under their CLSIDs and the name the program owns while it runs. The objects
// created for clients are the connection's broker's.

#include <QDBusConnection>
#include <QObject>
#include <QTimer>
#include <utility>
#include <vector>

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

  size_t ObjectCount() const;
  const QDBusConnection& Connection() const { return connection_; }

 signals:
  // The session bus went away (the session ended): nobody can reach the server any more.
  void busLost();

 private:
  const QString busName_;
  QDBusConnection connection_;
  std::vector<std::pair<CLSID, ComPtr<IClassFactory>>> factories_;
  QTimer busCheck_;
  bool started_ = false;
};

}  // namespace platform::dbus
