#include "local_client.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <climits>

#include "dbus_marshal.h"

namespace platform::dbus {

HRESULT CreateLocalInstance(const QString& busName, REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return CO_E_SERVER_EXEC_FAILURE;
  auto call = QDBusMessage::createMethodCall(busName, FactoryPath(clsid), FactoryInterface, "CreateInstance");
  call << QString::fromStdString(iid.ToString());
  QDBusMessage reply = bus.call(call, QDBus::Block, INT_MAX);
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
  auto served = GUID::Parse(out[2].toString().toStdString());
  // The object lives in the process that answered, even if the name changes hands later.
  ComPtr<IDispatch> proxy;
  hr = ObjectBroker::For(bus).Proxy(reply.service(), out[1].value<QDBusObjectPath>().path(), served.value_or(iid), proxy);
  if (FAILED(hr)) return hr;
  return proxy->QueryInterface(iid, object);
}

}  // namespace platform::dbus
