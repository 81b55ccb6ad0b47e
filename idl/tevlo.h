#pragma once
// The tester control's published interface: what the control and its callers share.

#include "com.h"

inline constexpr CLSID CLSID_TevloCtrl = MakeGuid("{8B61D0E4-2F7A-4C35-9A1E-6D04C2B7F350}");
inline constexpr IID IID_ITevloCtrl = MakeGuid("{8B61D0E4-2F7A-4C35-9A1E-6D04C2B7F351}");
inline constexpr GUID LIBID_Tevlo = MakeGuid("{8B61D0E4-2F7A-4C35-9A1E-6D04C2B7F352}");

inline constexpr const char* TevloProgId = "Tevlo.TevloCtrl.1";
inline constexpr const char* TevloVersionIndependentProgId = "Tevlo.TevloCtrl";

// DISPIDs of the members whose number is not simply their order.
inline constexpr DISPID DISPID_TevloSB0 = 4;    // SB0 to SB11: 4 to 15
inline constexpr DISPID DISPID_TevloCB0 = 16;   // CB0 to CB11: 16 to 27
inline constexpr DISPID DISPID_TevloACh0 = 33;  // ACh0 to ACh7: 33 to 40

class ITevloCtrl : public IDispatch {
 public:
  virtual HRESULT get_Comport(uint8_t* pVal) = 0;
  virtual HRESULT put_Comport(uint8_t newVal) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT get_Version(uint32_t* pVal) = 0;
  // SBn sets and CBn clears switch n of the tester (0 to 11).
  virtual HRESULT SB(int n) = 0;
  virtual HRESULT CB(int n) = 0;
  virtual HRESULT get_P1(int32_t* pVal) = 0;
  virtual HRESULT put_P1(int32_t newVal) = 0;
  virtual HRESULT FQP() = 0;
  virtual HRESULT get_Frequency(int32_t* pVal) = 0;
  virtual HRESULT get_Pulsewidth(int32_t* pVal) = 0;
  virtual HRESULT MEAS() = 0;
  // ACh0 to ACh7.
  virtual HRESULT get_ACh(int channel, int32_t* pVal) = 0;
  virtual HRESULT CLOSEFO() = 0;
  virtual HRESULT OPENFO() = 0;
  virtual HRESULT TESTFOON() = 0;
  virtual HRESULT TESTFOOFF() = 0;
  virtual HRESULT Delay(int32_t Value) = 0;
  virtual HRESULT get_LASERPWM(int32_t* pVal) = 0;
  virtual HRESULT get_LASERPWM1(int32_t* pVal) = 0;
  virtual HRESULT get_LASERPWM2(int32_t* pVal) = 0;
  virtual HRESULT get_LASERDEFLT(int32_t* pVal) = 0;
  virtual HRESULT USELASERPWM1() = 0;
  virtual HRESULT USELASERPWM2() = 0;
  virtual HRESULT USELASERDEFLT() = 0;
};

const InterfaceInfo& TevloCtrlInterfaceInfo();
const CoClassInfo& TevloCtrlClassInfo();
const TypeLibInfo& TevloTypeLibInfo();

// Answers a dispatch call on ITevloCtrl by calling the typed member of the object.
HRESULT InvokeTevloCtrl(ITevloCtrl& object, const MemberInfo& member, std::vector<Variant>& args, Variant& result);
