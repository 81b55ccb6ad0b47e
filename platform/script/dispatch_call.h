#pragma once
// A call from script to an object's member by name, shared by every script host: the
// member's DISPID by GetIDsOfNames (without regard to case), its arguments converted to
// the types its type information declares, and a failed HRESULT as a script error.

#include <QString>
#include <functional>
#include <optional>

#include "com.h"

namespace platform {

struct ScriptError {
  HRESULT number;  // the HRESULT, or the code an object raised with its description
  QString message;
};

// "0x80020009".
QString HexCode(HRESULT hr);

// The interface an object describes in its type information; null when it has none.
const InterfaceInfo* DispatchType(IDispatch& object);

// Converts the script argument at index to a VARIANT of the type given.
using ScriptArgument = std::function<HRESULT(int index, VARTYPE type, Variant& out)>;

// Calls the member; nothing on success, with the value in result.
std::optional<ScriptError> InvokeByName(IDispatch& object, const InterfaceInfo* type, const QString& name,
                                        uint16_t flags, int argumentCount, const ScriptArgument& argument,
                                        Variant& result);

}  // namespace platform
