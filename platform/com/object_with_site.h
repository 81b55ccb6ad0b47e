#pragma once
// IObjectWithSite: how a container hands an object the site it lives in (a browser
// hands it to every object that page script creates).

#include "com.h"

inline constexpr IID IID_IObjectWithSite = MakeGuid("{FC4801A3-2BA9-11CF-A229-00AA003D7352}");

class IObjectWithSite : public IUnknown {
 public:
  // A null site detaches the object.
  virtual HRESULT SetSite(IUnknown* site) = 0;
  // E_POINTER for a null out pointer; E_FAIL (and null) while the object has no site.
  virtual HRESULT GetSite(REFIID iid, void** site) = 0;
};
