#include "variant_script.h"

#include <QMetaType>
#include <cmath>
#include <limits>

namespace platform {

namespace {

bool IsIntegerParameter(VARTYPE type) { return type == VT_I2 || type == VT_I4 || type == VT_UI1 || type == VT_UI4; }

bool InRange(VARTYPE type, double v) {
  switch (type) {
    case VT_I2: return v >= -32768 && v <= 32767;
    case VT_UI1: return v >= 0 && v <= 255;
    case VT_UI4: return v >= 0 && v <= 4294967295.0;
    default: return v >= -2147483648.0 && v <= 2147483647.0;
  }
}

// Rounds half away from zero, as automation coerces a real to an integer.
HRESULT NumberTo(VARTYPE type, double number, Variant& out) {
  if (std::isnan(number)) return DISP_E_TYPEMISMATCH;
  double rounded = std::round(number);
  if (!InRange(type, rounded)) return DISP_E_OVERFLOW;
  out = Variant::Of(type, int64_t(rounded));
  return S_OK;
}

bool IsNumber(const QVariant& v) {
  switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::UChar:
    case QMetaType::Long:
    case QMetaType::ULong:
      return true;
    default:
      return false;
  }
}

// An object reaches an object parameter or one of any type.
HRESULT ObjectTo(VARTYPE type, const ComPtr<IDispatch>& object, Variant& out) {
  if (type != VT_VARIANT && type != VT_DISPATCH && type != VT_EMPTY) return DISP_E_TYPEMISMATCH;
  out = Variant(object);
  return S_OK;
}

}  // namespace

HRESULT VariantFromQVariant(const QVariant& value, VARTYPE type, Variant& out, const UnwrapQVariantDispatch& unwrap) {
  if (unwrap && value.typeId() == QMetaType::QVariantMap)
    if (ComPtr<IDispatch> object = unwrap(value)) return ObjectTo(type, object, out);
  Variant v;
  if (!value.isValid() || value.isNull()) {
    v = Variant();
  } else if (value.typeId() == QMetaType::Bool) {
    v = Variant(value.toBool());
  } else if (IsNumber(value)) {
    double number = value.toDouble();
    if (IsIntegerParameter(type)) return NumberTo(type, number, out);
    if (type == VT_VARIANT && number == std::trunc(number) && InRange(VT_I4, number))
      v = Variant(int32_t(number));
    else
      v = Variant::Real(VT_R8, number);
  } else if (value.typeId() == QMetaType::QString) {
    // Numeric text reaches integer parameters as its number does, range-checked.
    bool numeric = false;
    double number = value.toString().trimmed().toDouble(&numeric);
    if (numeric && IsIntegerParameter(type)) return NumberTo(type, number, out);
    v = Variant(Bstr::FromUtf8(value.toString().toStdString()));
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  if (type != VT_VARIANT && type != VT_EMPTY) {
    HRESULT hr = v.ChangeType(type);
    if (FAILED(hr)) return hr;
  }
  out = std::move(v);
  return S_OK;
}

QVariant QVariantFromVariant(const Variant& value, const WrapDispatch& wrap) {
  switch (value.Type()) {
    case VT_EMPTY: return QVariant();
    case VT_NULL: return QVariant::fromValue(nullptr);
    case VT_BOOL: return value.Bool();
    case VT_I2:
    case VT_I4:
    case VT_ERROR: return int(value.Integer());
    case VT_UI1:
    case VT_UI4: return uint(value.Integer());
    case VT_R8:
    case VT_DATE: return value.RealValue();
    case VT_BSTR: return QString::fromStdString(value.String().Utf8());
    case VT_DISPATCH: return wrap && value.Dispatch() ? wrap(value.Dispatch()) : QVariant::fromValue(nullptr);
    default: return QVariant();
  }
}

HRESULT VariantFromScript(const QJSValue& value, VARTYPE type, Variant& out, const UnwrapDispatch& unwrap) {
  if (value.isObject() && unwrap) {
    if (ComPtr<IDispatch> d = unwrap(value)) return ObjectTo(type, d, out);
  }
  if (value.isUndefined() || value.isNull()) return VariantFromQVariant(QVariant(), type, out);
  if (value.isBool()) return VariantFromQVariant(value.toBool(), type, out);
  if (value.isNumber()) return VariantFromQVariant(value.toNumber(), type, out);
  if (value.isString()) return VariantFromQVariant(value.toString(), type, out);
  return DISP_E_TYPEMISMATCH;
}

QJSValue ScriptFromVariant(const Variant& value, const WrapScriptDispatch& wrap) {
  if (value.Type() == VT_DISPATCH) return wrap && value.Dispatch() ? wrap(value.Dispatch()) : QJSValue(QJSValue::NullValue);
  QVariant v = QVariantFromVariant(value);
  switch (v.typeId()) {
    case QMetaType::Bool: return QJSValue(v.toBool());
    case QMetaType::Int: return QJSValue(v.toInt());
    case QMetaType::UInt: return QJSValue(v.toUInt());
    case QMetaType::Double: return QJSValue(v.toDouble());
    case QMetaType::QString: return QJSValue(v.toString());
    case QMetaType::Nullptr: return QJSValue(QJSValue::NullValue);
    default: return QJSValue(QJSValue::UndefinedValue);
  }
}

}  // namespace platform
