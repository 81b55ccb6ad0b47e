#include "local_server.h"

#include "object_broker.h"

namespace platform::dbus {

namespace {
constexpr uint32_t ErrorServiceAlreadyRunning = 1056;
}

LocalServer::LocalServer(QString busName, QDBusConnection connection)
    : busName_(std::move(busName)), connection_(std::move(connection)) {
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
  factories_.emplace_back(clsid, ComPtr<IClassFactory>(factory));
}

HRESULT LocalServer::Start() {
  if (!connection_.isConnected()) return CO_E_SERVER_EXEC_FAILURE;
  ObjectBroker& broker = ObjectBroker::For(connection_);
  for (auto& [clsid, factory] : factories_)
    if (!broker.AddFactory(clsid, factory)) return CO_E_SERVER_EXEC_FAILURE;
  // The name is taken last, so a client that activated us is served from its first call.
  if (!connection_.registerService(busName_)) {
    broker.RemoveFactories();
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
  ObjectBroker& broker = ObjectBroker::For(connection_);
  broker.RemoveFactories();
  broker.ReleaseAll();
}

size_t LocalServer::ObjectCount() const { return ObjectBroker::For(connection_).ObjectCount(); }

}  // namespace platform::dbus
