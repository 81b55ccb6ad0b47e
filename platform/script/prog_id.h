#pragma once
// The class a ProgID names, from its registration under HKEY_CLASSES_ROOT.

#include <string>

#include "com.h"

namespace platform {

// S_OK, or REGDB_E_CLASSNOTREG when the ProgID is not registered.
HRESULT ClassFromProgId(const std::string& progId, CLSID* clsid);

}  // namespace platform
