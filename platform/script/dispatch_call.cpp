#include "dispatch_call.h"

namespace platform {

QString HexCode(HRESULT hr) { return QString("0x%1").arg(uint32_t(hr), 8, 16, QChar('0')).toUpper().replace("0X", "0x"); }

const InterfaceInfo* DispatchType(IDispatch& object) {
  ComPtr<ITypeInfo> info;
  return SUCCEEDED(object.GetTypeInfo(0, 0, info.Put())) && info ? info->Interface() : nullptr;
}

std::optional<ScriptError> InvokeByName(IDispatch& object, const InterfaceInfo* type, const QString& name,
                                        uint16_t flags, int argumentCount, const ScriptArgument& argument,
                                        Variant& result) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = object.GetIDsOfNames(IID_IDispatch, {name.toStdString()}, 0, &id);
  if (FAILED(hr)) return ScriptError{hr, "Object doesn't support this property or method: " + name};
  const MemberInfo* member = nullptr;
  if (type) {
    if (flags & DISPATCH_PROPERTYPUT) member = type->Find(id, MemberKind::PropertyPut);
    if (!member && (flags & DISPATCH_METHOD)) member = type->Find(id, MemberKind::Method);
    if (!member && (flags & DISPATCH_PROPERTYGET)) member = type->Find(id, MemberKind::PropertyGet);
  }
  DISPPARAMS params;
  for (int i = 0; i < argumentCount; ++i) {
    VARTYPE declared = member && size_t(i) < member->params.size() ? member->params[size_t(i)].type : VT_VARIANT;
    Variant v;
    hr = argument(i, declared, v);
    if (FAILED(hr)) return ScriptError{hr, (hr == DISP_E_OVERFLOW ? "Overflow: " : "Type mismatch: ") + name};
    params.args.push_back(std::move(v));
  }
  EXCEPINFO exception;
  uint32_t argError = 0;
  hr = object.Invoke(id, IID_IDispatch, 0, flags, &params, &result, &exception, &argError);
  if (SUCCEEDED(hr)) return std::nullopt;
  if (hr == DISP_E_EXCEPTION)
    return ScriptError{exception.scode ? exception.scode : hr,
                       exception.description.empty() ? name + " failed (" + HexCode(hr) + ")"
                                                     : QString::fromStdString(exception.description)};
  return ScriptError{hr, name + " failed (" + HexCode(hr) + ")"};
}

}  // namespace platform
