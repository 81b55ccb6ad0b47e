#pragma once
// The one conversion between VARIANTs and script values, for every place where script
// calls objects through IDispatch: the script host's engine (QJSValue) and the pages'
// web channel (QVariant). Script numbers reach integer parameters with range checks.

#include <QJSValue>
#include <QVariant>
#include <functional>

#include "com.h"

namespace platform {

// A script value as a VARIANT of the parameter's type (VT_VARIANT: the value's own
// kind: integral numbers within 32 bits as VT_I4, other numbers as VT_R8). Numbers to
// VT_I2, VT_I4, VT_UI1 and VT_UI4 are rounded and range-checked, never wrapped.
// An object that script hands back comes through unwrap as its IDispatch.
using UnwrapQVariantDispatch = std::function<ComPtr<IDispatch>(const QVariant&)>;
HRESULT VariantFromQVariant(const QVariant& value, VARTYPE type, Variant& out,
                            const UnwrapQVariantDispatch& unwrap = {});

// A VARIANT as a script value; an object goes through wrap (without it, null).
using WrapDispatch = std::function<QVariant(const ComPtr<IDispatch>&)>;
QVariant QVariantFromVariant(const Variant& value, const WrapDispatch& wrap = {});

// The same for a script engine's values; an object made by wrap comes back as its IDispatch.
using UnwrapDispatch = std::function<ComPtr<IDispatch>(const QJSValue&)>;
HRESULT VariantFromScript(const QJSValue& value, VARTYPE type, Variant& out, const UnwrapDispatch& unwrap = {});
using WrapScriptDispatch = std::function<QJSValue(const ComPtr<IDispatch>&)>;
QJSValue ScriptFromVariant(const Variant& value, const WrapScriptDispatch& wrap = {});

}  // namespace platform
