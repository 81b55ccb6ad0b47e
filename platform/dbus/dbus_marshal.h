#pragma once
// How automation calls travel on the session bus: every member of an interface is a
// D-Bus method of the same name (properties as get_Name and put_Name), its in and
// in-out parameters typed from the type information (byte strings as byte arrays),
// its reply the HRESULT followed by the out and in-out parameters and the result.

#include <QDBusObjectPath>
#include <QString>
#include <QVariant>

#include "com.h"

namespace platform::dbus {

inline constexpr const char* ObjectRoot = "/com";
inline constexpr const char* FactoryInterface = "org.zarn.ClassFactory";
inline constexpr const char* ObjectInterface = "org.zarn.Object";  // Release

QString InterfaceName(const InterfaceInfo& info);  // org.zarn.<name>
QString MethodName(const MemberInfo& member);
QString FactoryPath(REFCLSID clsid);
QString Signature(const ParamInfo& p);
QString Signature(VARTYPE type);

// Converts between a variant and its bus form for one parameter type. Object
// references are left to the caller (they need the connection).
QVariant ToBus(const Variant& v, VARTYPE type, bool bytes);
// False when the bus value does not have the expected type.
bool FromBus(const QVariant& q, VARTYPE type, bool bytes, Variant& out);

QString IntrospectionXml(const InterfaceInfo& info);

}  // namespace platform::dbus
