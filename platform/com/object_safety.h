#pragma once
// Safety of objects for script: IObjectSafety, through which a host tells an object that
// untrusted script calls it or untrusted data initialises it, and the two component
// categories by which a class declares itself safe for both in its registration.

#include <vector>

#include "com.h"

inline constexpr IID IID_IObjectSafety = MakeGuid("{CB5BDC81-93C1-11CF-8F20-00805F2CD064}");

inline constexpr uint32_t INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
inline constexpr uint32_t INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;

inline constexpr GUID CATID_SafeForScripting = MakeGuid("{7DD95801-9882-11CF-9FA9-00AA006C42C4}");
inline constexpr GUID CATID_SafeForInitializing = MakeGuid("{7DD95802-9882-11CF-9FA9-00AA006C42C4}");

class IObjectSafety : public IUnknown {
 public:
  virtual HRESULT GetInterfaceSafetyOptions(REFIID iid, uint32_t* supported, uint32_t* enabled) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(REFIID iid, uint32_t mask, uint32_t enabled) = 0;
};

// The usual IObjectSafety of an object that is safe in every interface it answers to:
// the same supported options for all of them and one set of enabled options.
class ObjectSafetyOptions {
 public:
  explicit ObjectSafetyOptions(uint32_t supported) : supported_(supported) {}
  // self answers the interface queries.
  HRESULT Get(IUnknown& self, REFIID iid, uint32_t* supported, uint32_t* enabled) const;
  HRESULT Set(IUnknown& self, REFIID iid, uint32_t mask, uint32_t enabled);
  uint32_t Enabled() const { return enabled_; }

 private:
  uint32_t supported_;
  uint32_t enabled_ = 0;
};

namespace platform {

// "CLSID\{class}\Implemented Categories\{category}" under HKEY_CLASSES_ROOT.
HRESULT RegisterImplementedCategories(REFCLSID clsid, const std::vector<GUID>& categories);
HRESULT UnregisterImplementedCategories(REFCLSID clsid, const std::vector<GUID>& categories);
bool IsImplementedCategory(REFCLSID clsid, const GUID& category);

}  // namespace platform
