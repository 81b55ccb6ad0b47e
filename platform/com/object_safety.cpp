#include "object_safety.h"

#include "registry.h"

HRESULT ObjectSafetyOptions::Get(IUnknown& self, REFIID iid, uint32_t* supported, uint32_t* enabled) const {
  if (!supported || !enabled) return E_POINTER;
  ComPtr<IUnknown> probe;
  if (HRESULT hr = self.QueryInterface(iid, probe.PutVoid()); FAILED(hr)) {
    *supported = *enabled = 0;
    return hr;
  }
  *supported = supported_;
  *enabled = enabled_;
  return S_OK;
}

HRESULT ObjectSafetyOptions::Set(IUnknown& self, REFIID iid, uint32_t mask, uint32_t enabled) {
  ComPtr<IUnknown> probe;
  if (FAILED(self.QueryInterface(iid, probe.PutVoid()))) return E_NOINTERFACE;
  if (mask & ~supported_) return E_FAIL;
  enabled_ = (enabled_ & ~mask) | (enabled & mask);
  return S_OK;
}

namespace platform {

namespace {

std::string CategoriesKey(REFCLSID clsid) { return "\\CLSID\\" + clsid.ToString() + "\\Implemented Categories"; }

HRESULT FromRegistry(const Registry& r) { return HRESULT_FROM_WIN32(uint32_t(r.LastError())); }

}  // namespace

HRESULT RegisterImplementedCategories(REFCLSID clsid, const std::vector<GUID>& categories) {
  Registry r(HKEY_CLASSES_ROOT);
  for (const GUID& category : categories)
    if (!r.OpenKey(CategoriesKey(clsid) + "\\" + category.ToString(), true)) return FromRegistry(r);
  return S_OK;
}

HRESULT UnregisterImplementedCategories(REFCLSID clsid, const std::vector<GUID>& categories) {
  Registry r(HKEY_CLASSES_ROOT);
  for (const GUID& category : categories) {
    std::string key = CategoriesKey(clsid) + "\\" + category.ToString();
    if (r.KeyExists(key) && !r.DeleteKey(key)) return FromRegistry(r);
  }
  // The list key goes with its last category.
  if (r.OpenKeyReadOnly(CategoriesKey(clsid)) && r.GetKeyNames().empty()) {
    r.CloseKey();
    if (!r.DeleteKey(CategoriesKey(clsid))) return FromRegistry(r);
  }
  return S_OK;
}

bool IsImplementedCategory(REFCLSID clsid, const GUID& category) {
  Registry r(HKEY_CLASSES_ROOT);
  return r.KeyExists(CategoriesKey(clsid) + "\\" + category.ToString());
}

}  // namespace platform
