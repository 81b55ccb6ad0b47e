// The library's entry points: the class object of CWebPindral, unloading, and the
// registration of the class, its application, its categories and its type library.
#include <dlfcn.h>
#include <string>

#include "activation.h"
#include "object_safety.h"
#include "web_pindral.h"

namespace {

platform::ClassRegistration Registration() {
  return {CLSID_WebPindral, "CWebPindral Object", PindralProgId, PindralVersionIndependentProgId,
          LIBID_Pindral,    LIBID_Pindral,        true};
}

// The library's application entry, keyed by its LIBID and by the library's name.
platform::LocalServerRegistration Application() {
  platform::LocalServerRegistration app;
  app.appId = LIBID_Pindral;
  app.appName = "Pindral";
  app.exeName = "Pindral.DLL";
  return app;
}

const std::vector<GUID> SafeCategories{CATID_SafeForScripting, CATID_SafeForInitializing};

std::string LibraryPath() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&Registration), &info) || !info.dli_fname) return {};
  return info.dli_fname;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                                                           void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_WebPindral) return CLASS_E_CLASSNOTAVAILABLE;
  ComPtr<IClassFactory> factory(new CWebPindralFactory);
  return factory->QueryInterface(iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return CWebPindral::Objects() == 0 && CWebPindralFactory::Locks() == 0 ? S_OK : S_FALSE;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  const std::string path = LibraryPath();
  if (path.empty()) return E_UNEXPECTED;
  HRESULT hr = platform::RegisterInprocServerClass(Registration(), path, "apartment");
  if (SUCCEEDED(hr)) hr = platform::RegisterAppId(Application());
  if (SUCCEEDED(hr)) hr = platform::RegisterImplementedCategories(CLSID_WebPindral, SafeCategories);
  if (SUCCEEDED(hr)) hr = platform::RegisterTypeLib(PindralTypeLibInfo(), path);
  return hr;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  HRESULT hr = platform::UnregisterInprocServerClass(Registration());
  HRESULT app = platform::UnregisterAppId(Application());
  HRESULT lib = platform::UnregisterTypeLib(PindralTypeLibInfo());
  return FAILED(hr) ? hr : FAILED(app) ? app : lib;
}
