#pragma once
// How automation calls travel on the session bus: every member of an interface is a
// D-Bus method of the same name (properties as get_Name and put_Name), its in and
// in-out parameters typed from the type information (byte strings as byte arrays,
// objects as (owner, path, interface) references, variants as (type, value)). The reply
// is the HRESULT followed by the out and in-out parameters and the result; a failed
// call's reply is the HRESULT, the index of a bad argument and the exception's code,
// source, description and scode.

#include <QDBusObjectPath>
#include <QString>
#include <QVariant>
#include <memory>

#include "com.h"

namespace platform::dbus {

inline constexpr const char* ObjectRoot = "/com";
inline constexpr const char* FactoryInterface = "org.zarn.ClassFactory";
inline constexpr const char* ObjectInterface = "org.zarn.Object";  // Release, GetTypeInfo

QString InterfaceName(const InterfaceInfo& info);  // org.zarn.<name>
QString MethodName(const MemberInfo& member);
QString FactoryPath(REFCLSID clsid);
QString Signature(const ParamInfo& p);
QString Signature(VARTYPE type);

// How object references cross: the connection's broker exports and resolves them.
class ObjectTransport {
 public:
  virtual ~ObjectTransport() = default;
  // The reference of an object for the peer; an invalid QVariant when it cannot go.
  virtual QVariant Export(const ComPtr<IUnknown>& object) = 0;
  // The object a reference names; false for a reference that is malformed or not the peer's to give.
  virtual bool Import(const QVariant& reference, ComPtr<IDispatch>& object) = 0;
};

// Converts between a variant and its bus form for one parameter type. An invalid
// QVariant when the value cannot be carried (an object that is no automation object).
QVariant ToBus(const Variant& v, VARTYPE type, bool bytes, ObjectTransport& objects);
// False when the bus value does not have the expected type.
bool FromBus(const QVariant& q, VARTYPE type, bool bytes, ObjectTransport& objects, Variant& out);

// An object reference: the unique bus name of the process that holds the object, its
// path there and the IID of its interface; ("", "/", "") is no object.
QVariant MakeReference(const QString& owner, const QString& path, REFIID iid);
bool ReadReference(const QVariant& q, QString& owner, QString& path, IID& iid);

// The tail of a failed call's reply.
QVariantList FailureArguments(uint32_t argError, const EXCEPINFO& exception);
void ReadFailure(const QVariantList& reply, uint32_t* argError, EXCEPINFO* exception);

QString IntrospectionXml(const InterfaceInfo& info);

// Type information as text, for clients that know only member names.
QString SerializeInterface(const InterfaceInfo& info);
// The interface described by the text, owning its names; null when the text is no such description.
std::shared_ptr<const InterfaceInfo> ParseInterface(const QString& text);

}  // namespace platform::dbus
