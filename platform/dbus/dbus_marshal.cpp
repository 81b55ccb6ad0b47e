#include "dbus_marshal.h"

#include <QDBusVariant>

namespace platform::dbus {

QString InterfaceName(const InterfaceInfo& info) { return QStringLiteral("org.zarn.") + QString::fromLatin1(info.name); }

QString MethodName(const MemberInfo& member) {
  QString name = QString::fromLatin1(member.name);
  switch (member.kind) {
    case MemberKind::PropertyGet: return "get_" + name;
    case MemberKind::PropertyPut: return "put_" + name;
    default: return name;
  }
}

QString FactoryPath(REFCLSID clsid) {
  QString hex = QString::fromStdString(clsid.ToString()).remove('{').remove('}').remove('-');
  return QString::fromLatin1(ObjectRoot) + "/class/" + hex;
}

QString Signature(VARTYPE type) {
  switch (type) {
    case VT_I2: return "n";
    case VT_I4: case VT_ERROR: return "i";
    case VT_UI1: return "y";
    case VT_UI4: return "u";
    case VT_BOOL: return "b";
    case VT_R8: case VT_DATE: return "d";
    case VT_BSTR: return "s";
    case VT_DISPATCH: return "o";
    default: return "v";
  }
}

QString Signature(const ParamInfo& p) { return p.type == VT_BSTR && p.bytes ? QStringLiteral("ay") : Signature(p.type); }

QVariant ToBus(const Variant& v, VARTYPE type, bool bytes) {
  switch (type) {
    case VT_I2: return QVariant::fromValue(short(v.Integer()));
    case VT_I4: case VT_ERROR: return QVariant::fromValue(int(v.Integer()));
    case VT_UI1: return QVariant::fromValue(uchar(v.Integer()));
    case VT_UI4: return QVariant::fromValue(uint(v.Integer()));
    case VT_BOOL: return QVariant::fromValue(v.Bool());
    case VT_R8: case VT_DATE: return QVariant::fromValue(v.RealValue());
    case VT_BSTR: {
      const Bstr& s = v.String();
      if (bytes) return QByteArray(reinterpret_cast<const char*>(s.Bytes()), qsizetype(s.ByteLength()));
      return QString::fromUtf16(s.Text().data(), qsizetype(s.Length()));
    }
    case VT_VARIANT:
      // A variant carries its own type: text strings as text.
      return QVariant::fromValue(QDBusVariant(v.Type() == VT_EMPTY ? QVariant(QString()) : ToBus(v, v.Type(), false)));
    default:
      return {};
  }
}

bool FromBus(const QVariant& q, VARTYPE type, bool bytes, Variant& out) {
  auto typeId = q.metaType().id();
  switch (type) {
    case VT_I2:
      if (typeId != QMetaType::Short) return false;
      out = Variant::Of(VT_I2, q.value<short>());
      return true;
    case VT_I4:
    case VT_ERROR:
      if (typeId != QMetaType::Int) return false;
      out = Variant::Of(type, q.toInt());
      return true;
    case VT_UI1:
      if (typeId != QMetaType::UChar) return false;
      out = Variant::Of(VT_UI1, q.value<uchar>());
      return true;
    case VT_UI4:
      if (typeId != QMetaType::UInt) return false;
      out = Variant::Of(VT_UI4, q.toUInt());
      return true;
    case VT_BOOL:
      if (typeId != QMetaType::Bool) return false;
      out = Variant(q.toBool());
      return true;
    case VT_R8:
    case VT_DATE:
      if (typeId != QMetaType::Double) return false;
      out = Variant::Real(type, q.toDouble());
      return true;
    case VT_BSTR:
      if (bytes) {
        if (typeId != QMetaType::QByteArray) return false;
        QByteArray a = q.toByteArray();
        out = Variant(Bstr::FromBytes(a.constData(), size_t(a.size())));
      } else {
        if (typeId != QMetaType::QString) return false;
        QString s = q.toString();
        out = Variant(Bstr::FromText(std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size()))));
      }
      return true;
    case VT_VARIANT: {
      if (!q.canConvert<QDBusVariant>()) return false;
      QVariant inner = q.value<QDBusVariant>().variant();
      static const std::pair<int, VARTYPE> kinds[] = {
          {QMetaType::Short, VT_I2}, {QMetaType::Int, VT_I4},    {QMetaType::UChar, VT_UI1},
          {QMetaType::UInt, VT_UI4}, {QMetaType::Bool, VT_BOOL}, {QMetaType::Double, VT_R8},
          {QMetaType::QString, VT_BSTR},
      };
      for (auto [id, vt] : kinds)
        if (inner.metaType().id() == id) return FromBus(inner, vt, false, out);
      return false;
    }
    default:
      return false;
  }
}

QString IntrospectionXml(const InterfaceInfo& info) {
  QString xml = QString("  <interface name=\"%1\">\n").arg(InterfaceName(info));
  for (const MemberInfo& m : info.members) {
    xml += QString("    <method name=\"%1\">\n").arg(MethodName(m));
    for (const ParamInfo& p : m.params)
      if (p.dir != ParamDir::Out)
        xml += QString("      <arg name=\"%1\" type=\"%2\" direction=\"in\"/>\n").arg(p.name, Signature(p));
    xml += "      <arg name=\"hresult\" type=\"i\" direction=\"out\"/>\n";
    for (const ParamInfo& p : m.params)
      if (p.dir != ParamDir::In)
        xml += QString("      <arg name=\"%1\" type=\"%2\" direction=\"out\"/>\n").arg(p.name, Signature(p));
    if (m.result != VT_EMPTY)
      xml += QString("      <arg name=\"result\" type=\"%1\" direction=\"out\"/>\n").arg(Signature(m.result));
    xml += "    </method>\n";
  }
  xml += "  </interface>\n";
  xml += QString("  <interface name=\"%1\">\n    <method name=\"Release\"/>\n  </interface>\n").arg(ObjectInterface);
  return xml;
}

}  // namespace platform::dbus
