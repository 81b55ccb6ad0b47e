#include "pindral.h"

const InterfaceInfo& WebPindralInterfaceInfo() {
  static const InterfaceInfo info{IID_IWebPindral,
                                  "IWebPindral",
                                  "IWebPindral Interface",
                                  {{DISPID_PindralInfo, "Info", MemberKind::PropertyGet, {}, VT_BSTR, "property Info"},
                                   {DISPID_PindralSession, "Session", MemberKind::PropertyGet, {}, VT_DISPATCH,
                                    "property Session"}}};
  return info;
}

const CoClassInfo& WebPindralClassInfo() {
  static const CoClassInfo info{CLSID_WebPindral, "CWebPindral", "WebPindral Class", &WebPindralInterfaceInfo()};
  return info;
}

const TypeLibInfo& PindralTypeLibInfo() {
  static const TypeLibInfo info{LIBID_Pindral,           "Pindral", "Pindral 1.0 Type Library", 1, 0,
                                {&WebPindralClassInfo()}, {&WebPindralInterfaceInfo()}};
  return info;
}
