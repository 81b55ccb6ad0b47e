#pragma once
// The client side of local servers: creating an object of a class that another
// process serves on the session bus, and calling it through its interface (a typed
// view for interfaces registered with RegisterInterface, IDispatch by name for any).

#include <QString>

#include "com.h"
#include "object_broker.h"

namespace platform::dbus {

// Creates the object through the class's factory in the program that owns busName;
// the bus starts that program when it is not running. A call waits as long as the
// server takes: its operator may be answering a dialog on its desktop.
HRESULT CreateLocalInstance(const QString& busName, REFCLSID clsid, REFIID iid, void** object);

}  // namespace platform::dbus
