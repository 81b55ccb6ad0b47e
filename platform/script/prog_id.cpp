#include "prog_id.h"

#include "registry.h"

namespace platform {

HRESULT ClassFromProgId(const std::string& progId, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  if (progId.empty() || progId.find('\\') != std::string::npos) return REGDB_E_CLASSNOTREG;
  Registry r(HKEY_CLASSES_ROOT);
  if (!r.OpenKeyReadOnly("\\" + progId + "\\CLSID")) return REGDB_E_CLASSNOTREG;
  auto text = r.ReadString("");
  auto guid = text ? GUID::Parse(*text) : std::nullopt;
  if (!guid) return REGDB_E_CLASSNOTREG;
  *clsid = *guid;
  return S_OK;
}

}  // namespace platform
