#pragma once
// The page bridge's published interface: what the bridge library and page script share.

#include "com.h"

inline constexpr GUID LIBID_Pindral = MakeGuid("{5C0E7A93-61D4-4F2B-B8A7-3E19D2C64A10}");
inline constexpr CLSID CLSID_WebPindral = MakeGuid("{5C0E7A93-61D4-4F2B-B8A7-3E19D2C64A11}");
inline constexpr IID IID_IWebPindral = MakeGuid("{5C0E7A93-61D4-4F2B-B8A7-3E19D2C64A12}");

inline constexpr const char* PindralProgId = "Pindral.WebPindral.1";
inline constexpr const char* PindralVersionIndependentProgId = "Pindral.WebPindral";

inline constexpr DISPID DISPID_PindralInfo = 1;
inline constexpr DISPID DISPID_PindralSession = 2;

class IWebPindral : public IDispatch {
 public:
  virtual HRESULT get_Info(Bstr* pVal) = 0;
  // The reader session with a reference added for the caller.
  virtual HRESULT get_Session(IDispatch** pVal) = 0;
};

const InterfaceInfo& WebPindralInterfaceInfo();
const CoClassInfo& WebPindralClassInfo();
const TypeLibInfo& PindralTypeLibInfo();
