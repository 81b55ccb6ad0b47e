#pragma once
// The client side of local servers: creating an object of a class that another
// process serves on the session bus, and calling it through its interface.

#include <QString>

#include "com.h"

namespace platform::dbus {

// Turns the bus connection to an object into the interface the caller asked for;
// returns the interface with one reference.
using ProxyMaker = IUnknown* (*)(IDispatch* bus);

// Makes an interface callable in a server of another process: its type information
// says how each call is carried; the maker builds the typed interface on top.
void RegisterInterface(const InterfaceInfo& info, ProxyMaker maker);
const InterfaceInfo* FindInterface(REFIID iid);

// Creates the object through the class's factory in the program that owns busName;
// the bus starts that program when it is not running. A call waits as long as the
// server takes: its operator may be answering a dialog on its desktop.
HRESULT CreateLocalInstance(const QString& busName, REFCLSID clsid, REFIID iid, void** object);

}  // namespace platform::dbus
