#include "tevlo.h"

#include <deque>
#include <string>

namespace {

// Member names that are made by counting live as long as the table.
const char* Name(const std::string& name) {
  static std::deque<std::string> names;
  return names.emplace_back(name).c_str();
}

MemberInfo Method(DISPID id, const char* name) {
  return {id, name, MemberKind::Method, {}, VT_EMPTY, Name(std::string("method ") + name)};
}

MemberInfo Get(DISPID id, const char* name, VARTYPE type) {
  return {id, name, MemberKind::PropertyGet, {}, type, Name(std::string("property ") + name)};
}

MemberInfo Put(DISPID id, const char* name, VARTYPE type) {
  return {id, name, MemberKind::PropertyPut, {{"newVal", type}}, VT_EMPTY, Name(std::string("property ") + name)};
}

InterfaceInfo MakeInterfaceInfo() {
  InterfaceInfo info{IID_ITevloCtrl, "ITevloCtrl", "ITevloCtrl Interface", {}};
  auto& m = info.members;
  m.push_back(Get(1, "Comport", VT_UI1));
  m.push_back(Put(1, "Comport", VT_UI1));
  m.push_back(Method(2, "Reset"));
  m.push_back(Get(3, "Version", VT_UI4));
  for (int n = 0; n < 12; ++n) m.push_back(Method(DISPID_TevloSB0 + n, Name("SB" + std::to_string(n))));
  for (int n = 0; n < 12; ++n) m.push_back(Method(DISPID_TevloCB0 + n, Name("CB" + std::to_string(n))));
  m.push_back(Get(28, "P1", VT_I4));
  m.push_back(Put(28, "P1", VT_I4));
  m.push_back(Method(29, "FQP"));
  m.push_back(Get(30, "Frequency", VT_I4));
  m.push_back(Get(31, "Pulsewidth", VT_I4));
  m.push_back(Method(32, "MEAS"));
  for (int n = 0; n < 8; ++n) m.push_back(Get(DISPID_TevloACh0 + n, Name("ACh" + std::to_string(n)), VT_I4));
  m.push_back(Method(41, "CLOSEFO"));
  m.push_back(Method(42, "OPENFO"));
  m.push_back(Method(43, "TESTFOON"));
  m.push_back(Method(44, "TESTFOOFF"));
  MemberInfo delay = Method(45, "Delay");
  delay.params = {{"Value", VT_I4}};
  m.push_back(delay);
  m.push_back(Get(46, "LASERPWM", VT_I4));
  m.push_back(Get(47, "LASERPWM1", VT_I4));
  m.push_back(Get(48, "LASERPWM2", VT_I4));
  m.push_back(Get(49, "LASERDEFLT", VT_I4));
  m.push_back(Method(50, "USELASERPWM1"));
  m.push_back(Method(51, "USELASERPWM2"));
  m.push_back(Method(52, "USELASERDEFLT"));
  return info;
}

// Calls a getter; its value becomes the result only when it succeeded.
template <class T, class Get>
HRESULT Getter(Get get, VARTYPE type, Variant& result) {
  T value{};
  HRESULT hr = get(&value);
  if (SUCCEEDED(hr)) result = Variant::Of(type, int64_t(value));
  return hr;
}

}  // namespace

const InterfaceInfo& TevloCtrlInterfaceInfo() {
  static const InterfaceInfo info = MakeInterfaceInfo();
  return info;
}

const CoClassInfo& TevloCtrlClassInfo() {
  static const CoClassInfo info{CLSID_TevloCtrl, "CTevloCtrl", "TevloCtrl Class", &TevloCtrlInterfaceInfo()};
  return info;
}

const TypeLibInfo& TevloTypeLibInfo() {
  static const TypeLibInfo info{LIBID_Tevlo, "Tevlo", "Tevlo 1.0 Type Library", 1, 0, {&TevloCtrlClassInfo()},
                                {&TevloCtrlInterfaceInfo()}};
  return info;
}

HRESULT InvokeTevloCtrl(ITevloCtrl& o, const MemberInfo& member, std::vector<Variant>& a, Variant& result) {
  const DISPID id = member.id;
  const bool put = member.kind == MemberKind::PropertyPut;
  if (id >= DISPID_TevloSB0 && id < DISPID_TevloSB0 + 12) return o.SB(id - DISPID_TevloSB0);
  if (id >= DISPID_TevloCB0 && id < DISPID_TevloCB0 + 12) return o.CB(id - DISPID_TevloCB0);
  if (id >= DISPID_TevloACh0 && id < DISPID_TevloACh0 + 8) {
    return Getter<int32_t>([&](int32_t* v) { return o.get_ACh(id - DISPID_TevloACh0, v); }, VT_I4, result);
  }
  auto i4 = [&](HRESULT (ITevloCtrl::*get)(int32_t*)) {
    return Getter<int32_t>([&](int32_t* v) { return (o.*get)(v); }, VT_I4, result);
  };
  switch (id) {
    case 1:
      if (put) return o.put_Comport(uint8_t(a[0].Integer()));
      return Getter<uint8_t>([&](uint8_t* v) { return o.get_Comport(v); }, VT_UI1, result);
    case 2: return o.Reset();
    case 3: return Getter<uint32_t>([&](uint32_t* v) { return o.get_Version(v); }, VT_UI4, result);
    case 28:
      if (put) return o.put_P1(int32_t(a[0].Integer()));
      return i4(&ITevloCtrl::get_P1);
    case 29: return o.FQP();
    case 30: return i4(&ITevloCtrl::get_Frequency);
    case 31: return i4(&ITevloCtrl::get_Pulsewidth);
    case 32: return o.MEAS();
    case 41: return o.CLOSEFO();
    case 42: return o.OPENFO();
    case 43: return o.TESTFOON();
    case 44: return o.TESTFOOFF();
    case 45: return o.Delay(int32_t(a[0].Integer()));
    case 46: return i4(&ITevloCtrl::get_LASERPWM);
    case 47: return i4(&ITevloCtrl::get_LASERPWM1);
    case 48: return i4(&ITevloCtrl::get_LASERPWM2);
    case 49: return i4(&ITevloCtrl::get_LASERDEFLT);
    case 50: return o.USELASERPWM1();
    case 51: return o.USELASERPWM2();
    case 52: return o.USELASERDEFLT();
    default: return DISP_E_MEMBERNOTFOUND;
  }
}
