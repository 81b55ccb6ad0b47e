// The library's entry points: the class object of CTevloCtrl, unloading, and the
// registration of the class, its categories and its type library.
#include <dlfcn.h>
#include <string>

#include "activation.h"
#include "registry.h"
#include "tevlo_ctrl.h"

namespace {

platform::ClassRegistration Registration() {
  return {CLSID_TevloCtrl, "CTevloCtrl Object", TevloProgId, TevloVersionIndependentProgId, LIBID_Tevlo, GUID{},
          false};
}

const std::vector<GUID> SafeCategories{CATID_SafeForScripting, CATID_SafeForInitializing};

std::string LibraryPath() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&Registration), &info) || !info.dli_fname) return {};
  return info.dli_fname;
}

// What a control container reads of the class besides the usual class keys.
HRESULT WriteControlKeys(const std::string& path) {
  platform::Registry r(HKEY_CLASSES_ROOT);
  const std::string key = "\\CLSID\\" + CLSID_TevloCtrl.ToString();
  // 131473: set client site first, activate when visible, inside-out, can't link inside,
  // recompose on resize.
  bool ok = r.OpenKey(key + "\\Control", true) && r.OpenKey(key + "\\MiscStatus", true) && r.WriteString("", "0") &&
            r.OpenKey(key + "\\MiscStatus\\1", true) && r.WriteString("", "131473") &&
            r.OpenKey(key + "\\Version", true) && r.WriteString("", "1.0") &&
            r.OpenKey(key + "\\ToolboxBitmap32", true) &&
            r.WriteString("", path + ", " + std::to_string(int(IDB_TOOLBOX)));
  return ok ? S_OK : HRESULT_FROM_WIN32(uint32_t(r.LastError()));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                                                           void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_TevloCtrl) return CLASS_E_CLASSNOTAVAILABLE;
  ComPtr<IClassFactory> factory(new CTevloCtrlFactory);
  return factory->QueryInterface(iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return CTevloCtrl::Objects() == 0 && CTevloCtrlFactory::Locks() == 0 ? S_OK : S_FALSE;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  const std::string path = LibraryPath();
  if (path.empty()) return E_UNEXPECTED;
  HRESULT hr = platform::RegisterInprocServerClass(Registration(), path, "apartment");
  if (SUCCEEDED(hr)) hr = WriteControlKeys(path);
  if (SUCCEEDED(hr)) hr = platform::RegisterImplementedCategories(CLSID_TevloCtrl, SafeCategories);
  if (SUCCEEDED(hr)) hr = platform::RegisterTypeLib(TevloTypeLibInfo(), path);
  return hr;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  HRESULT hr = platform::UnregisterInprocServerClass(Registration());
  HRESULT lib = platform::UnregisterTypeLib(TevloTypeLibInfo());
  return FAILED(hr) ? hr : lib;
}
