#include "dbus_marshal.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <deque>

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
    case VT_DISPATCH: case VT_UNKNOWN: return "(sos)";
    default: return "(qv)";
  }
}

QString Signature(const ParamInfo& p) { return p.type == VT_BSTR && p.bytes ? QStringLiteral("ay") : Signature(p.type); }

namespace {

QByteArray BytesOf(const Bstr& s) { return QByteArray(reinterpret_cast<const char*>(s.Bytes()), qsizetype(s.ByteLength())); }

// Every code unit as it is: no byte-order mark is taken away or acted on. The receiving
// side's bus library drops one leading U+FEFF as it reads the text, so such a text goes
// with one more.
QString TextOf(const Bstr& s) {
  std::u16string text = s.Text();
  if (!text.empty() && text[0] == u'\uFEFF') text.insert(text.begin(), u'\uFEFF');
  return QString(reinterpret_cast<const QChar*>(text.data()), qsizetype(text.size()));
}

Bstr FromText(const QString& s) {
  return Bstr::FromText(std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size())));
}

// The value of a variant, typed by the variant's own type. A string inside a variant
// travels as its bytes: text and byte strings alike arrive exactly.
QVariant VariantValue(const Variant& v, ObjectTransport& objects) {
  switch (v.Type()) {
    case VT_EMPTY: case VT_NULL: return QVariant::fromValue(int(0));
    case VT_BSTR: return BytesOf(v.String());
    case VT_DISPATCH: case VT_UNKNOWN: return objects.Export(v.Unknown());
    default: return ToBus(v, v.Type(), false, objects);
  }
}

bool IsIntegerBusType(int id, VARTYPE vt) {
  switch (vt) {
    case VT_I2: return id == QMetaType::Short;
    case VT_I4: case VT_ERROR: return id == QMetaType::Int;
    case VT_UI1: return id == QMetaType::UChar;
    case VT_UI4: return id == QMetaType::UInt;
    default: return false;
  }
}

bool FromVariantValue(VARTYPE vt, const QVariant& inner, ObjectTransport& objects, Variant& out) {
  switch (vt) {
    case VT_EMPTY: out = Variant(); return true;
    case VT_NULL: out = Variant::Null(); return true;
    case VT_BSTR: {
      if (inner.metaType().id() != QMetaType::QByteArray) return false;
      QByteArray a = inner.toByteArray();
      out = Variant(Bstr::FromBytes(a.constData(), size_t(a.size())));
      return true;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      ComPtr<IDispatch> object;
      if (!objects.Import(inner, object)) return false;
      out = vt == VT_DISPATCH ? Variant(object) : Variant(ComPtr<IUnknown>(object.Get()));
      return true;
    }
    case VT_I2: case VT_I4: case VT_ERROR: case VT_UI1: case VT_UI4: case VT_BOOL: case VT_R8: case VT_DATE:
      return FromBus(inner, vt, false, objects, out);
    default:
      return false;
  }
}

}  // namespace

QVariant MakeReference(const QString& owner, const QString& path, REFIID iid) {
  QDBusArgument a;
  a.beginStructure();
  a << owner << QDBusObjectPath(path) << (iid.IsNull() ? QString() : QString::fromStdString(iid.ToString()));
  a.endStructure();
  return QVariant::fromValue(a);
}

bool ReadReference(const QVariant& q, QString& owner, QString& path, IID& iid) {
  if (!q.canConvert<QDBusArgument>()) return false;
  const QDBusArgument a = q.value<QDBusArgument>();
  if (a.currentSignature() != "(sos)") return false;
  QDBusObjectPath p;
  QString i;
  a.beginStructure();
  a >> owner >> p >> i;
  a.endStructure();
  path = p.path();
  iid = {};
  if (!i.isEmpty()) {
    auto parsed = GUID::Parse(i.toStdString());
    if (!parsed) return false;
    iid = *parsed;
  }
  return true;
}

QVariant ToBus(const Variant& v, VARTYPE type, bool bytes, ObjectTransport& objects) {
  switch (type) {
    case VT_I2: return QVariant::fromValue(short(v.Integer()));
    case VT_I4: case VT_ERROR: return QVariant::fromValue(int(v.Integer()));
    case VT_UI1: return QVariant::fromValue(uchar(v.Integer()));
    case VT_UI4: return QVariant::fromValue(uint(v.Integer()));
    case VT_BOOL: return QVariant::fromValue(v.Bool());
    case VT_R8: case VT_DATE: return QVariant::fromValue(v.RealValue());
    case VT_BSTR: return bytes ? QVariant(BytesOf(v.String())) : QVariant(TextOf(v.String()));
    case VT_DISPATCH: case VT_UNKNOWN: return objects.Export(v.Unknown());
    case VT_VARIANT: {
      QVariant value = VariantValue(v, objects);
      if (!value.isValid()) return {};
      QDBusArgument a;
      a.beginStructure();
      a << ushort(v.Type()) << QDBusVariant(value);
      a.endStructure();
      return QVariant::fromValue(a);
    }
    default:
      return {};
  }
}

bool FromBus(const QVariant& q, VARTYPE type, bool bytes, ObjectTransport& objects, Variant& out) {
  auto typeId = q.metaType().id();
  switch (type) {
    case VT_I2: case VT_I4: case VT_ERROR: case VT_UI1: case VT_UI4:
      if (!IsIntegerBusType(typeId, type)) return false;
      out = Variant::Of(type, type == VT_UI4 ? int64_t(q.toUInt()) : int64_t(q.toInt()));
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
        out = Variant(FromText(q.toString()));
      }
      return true;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return FromVariantValue(type, q, objects, out);
    case VT_VARIANT: {
      if (!q.canConvert<QDBusArgument>()) return false;
      const QDBusArgument a = q.value<QDBusArgument>();
      if (a.currentSignature() != "(qv)") return false;
      ushort vt = 0;
      QDBusVariant value;
      a.beginStructure();
      a >> vt >> value;
      a.endStructure();
      return FromVariantValue(VARTYPE(vt), value.variant(), objects, out);
    }
    default:
      return false;
  }
}

QVariantList FailureArguments(uint32_t argError, const EXCEPINFO& e) {
  return {QVariant::fromValue(uint(argError)), QVariant::fromValue(ushort(e.wCode)), QString::fromStdString(e.source),
          QString::fromStdString(e.description), QVariant::fromValue(int(e.scode))};
}

void ReadFailure(const QVariantList& reply, uint32_t* argError, EXCEPINFO* exception) {
  if (reply.size() != 6) return;
  if (argError) *argError = reply[1].toUInt();
  if (exception) {
    exception->wCode = uint16_t(reply[2].toUInt());
    exception->source = reply[3].toString().toStdString();
    exception->description = reply[4].toString().toStdString();
    exception->scode = reply[5].toInt();
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
  xml += QString("  <interface name=\"%1\">\n    <method name=\"Release\"/>\n"
                 "    <method name=\"GetTypeInfo\">\n      <arg name=\"description\" type=\"s\" direction=\"out\"/>\n"
                 "    </method>\n  </interface>\n")
             .arg(ObjectInterface);
  return xml;
}

QString SerializeInterface(const InterfaceInfo& info) {
  QJsonArray members;
  for (const MemberInfo& m : info.members) {
    QJsonArray params;
    for (const ParamInfo& p : m.params)
      params.append(QJsonObject{{"name", p.name}, {"type", int(p.type)}, {"dir", int(p.dir)}, {"bytes", p.bytes}});
    members.append(QJsonObject{{"id", m.id}, {"name", m.name}, {"kind", int(m.kind)}, {"params", params},
                               {"result", int(m.result)}, {"help", m.help}});
  }
  QJsonObject root{{"iid", QString::fromStdString(info.iid.ToString())},
                   {"name", info.name},
                   {"help", info.help},
                   {"members", members}};
  return QString::fromUtf8(QJsonDocument(root).toJson(QJsonDocument::Compact));
}

namespace {

// An interface described at run time, with the storage of its names.
struct OwnedInterface {
  std::deque<std::string> names;
  InterfaceInfo info{};
  const char* Keep(const QJsonValue& v) { return names.emplace_back(v.toString().toStdString()).c_str(); }
};

// Names become D-Bus member names and C strings: letters, digits and underscores only.
bool IsName(const QJsonValue& v) {
  const QString name = v.toString();
  if (name.isEmpty() || name.size() > 255 || name[0].isDigit()) return false;
  for (QChar c : name)
    if (!(c.unicode() < 0x80 && (c.isLetterOrNumber() || c == '_'))) return false;
  return true;
}

bool IsText(const QJsonValue& v) { return v.isUndefined() || (v.isString() && !v.toString().contains(QChar(0))); }

bool KnownType(int vt) {
  switch (vt) {
    case VT_EMPTY: case VT_I2: case VT_I4: case VT_R8: case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR:
    case VT_BOOL: case VT_VARIANT: case VT_UNKNOWN: case VT_UI1: case VT_UI4:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::shared_ptr<const InterfaceInfo> ParseInterface(const QString& text) {
  QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
  if (!doc.isObject()) return nullptr;
  QJsonObject root = doc.object();
  auto iid = GUID::Parse(root["iid"].toString().toStdString());
  if (!iid || !root["members"].isArray() || !IsName(root["name"]) || !IsText(root["help"])) return nullptr;
  auto owned = std::make_shared<OwnedInterface>();
  owned->info.iid = *iid;
  owned->info.name = owned->Keep(root["name"]);
  owned->info.help = owned->Keep(root["help"]);
  for (const QJsonValue& mv : root["members"].toArray()) {
    QJsonObject m = mv.toObject();
    int kind = m["kind"].toInt(-1), result = m["result"].toInt(-1);
    if (kind < 0 || kind > int(MemberKind::PropertyPut) || !KnownType(result) || !IsName(m["name"]) || !IsText(m["help"]))
      return nullptr;
    MemberInfo member{m["id"].toInt(), owned->Keep(m["name"]), MemberKind(kind), {}, VARTYPE(result),
                      owned->Keep(m["help"])};
    for (const QJsonValue& pv : m["params"].toArray()) {
      QJsonObject p = pv.toObject();
      int type = p["type"].toInt(-1), dir = p["dir"].toInt(-1);
      if (!KnownType(type) || type == VT_EMPTY || dir < 0 || dir > int(ParamDir::InOut) || !IsName(p["name"]))
        return nullptr;
      member.params.push_back({owned->Keep(p["name"]), VARTYPE(type), ParamDir(dir), p["bytes"].toBool()});
    }
    owned->info.members.push_back(std::move(member));
  }
  return std::shared_ptr<const InterfaceInfo>(owned, &owned->info);
}

}  // namespace platform::dbus
