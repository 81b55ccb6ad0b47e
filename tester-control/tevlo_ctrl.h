#pragma once
// The tester control: ITevloCtrl over the tester's serial link, and a picture of the
// tester's front panel whose LEDs mirror what the commands switched.

#include <QImage>
#include <QRect>
#include <initializer_list>

#include "control_view.h"
#include "device_port.h"
#include "object_safety.h"
#include "tevlo.h"

// Picture resources of the library.
enum TevloPicture {
  IDB_TOOLBOX = 102,
  IDB_PANEL = 202,
  IDB_LED_GREEN_OFF = 203,
  IDB_LED_GREEN_ON = 204,
  IDB_LED_AMBER_OFF = 205,
  IDB_LED_AMBER_ON = 206,
  IDB_LED_MASK = 208,
};
QImage LoadTevloPicture(int id);

// Centre x of each LED on the panel; every centre lies on y LedCentreY.
enum TevloLed {
  LedPower = 135,
  LedRx = 329,
  LedClose = 383,
  LedTest = 437,
  LedTx = 491,
  LedLeft = 821,
  LedExtPower = 875,
  LedRight = 930,
  LedBattery = 1088,
};
inline constexpr int LedCentreY = 111;
inline constexpr int LedBoxTop = 94;
inline constexpr int LedBoxSize = 35;
inline constexpr int LedBoxLeftOfCentre = 17;

class CTevloCtrl final : public DispatchImpl<ITevloCtrl>,
                         public IObjectSafety,
                         public IViewObject2,
                         private ComObjectRoot {
 public:
  CTevloCtrl();
  ~CTevloCtrl() override;
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override;

  // ITevloCtrl
  HRESULT get_Comport(uint8_t* pVal) override;
  HRESULT put_Comport(uint8_t newVal) override;
  HRESULT Reset() override;
  HRESULT get_Version(uint32_t* pVal) override;
  HRESULT SB(int n) override;
  HRESULT CB(int n) override;
  HRESULT get_P1(int32_t* pVal) override;
  HRESULT put_P1(int32_t newVal) override;
  HRESULT FQP() override;
  HRESULT get_Frequency(int32_t* pVal) override;
  HRESULT get_Pulsewidth(int32_t* pVal) override;
  HRESULT MEAS() override;
  HRESULT get_ACh(int channel, int32_t* pVal) override;
  HRESULT CLOSEFO() override;
  HRESULT OPENFO() override;
  HRESULT TESTFOON() override;
  HRESULT TESTFOOFF() override;
  HRESULT Delay(int32_t Value) override;
  HRESULT get_LASERPWM(int32_t* pVal) override;
  HRESULT get_LASERPWM1(int32_t* pVal) override;
  HRESULT get_LASERPWM2(int32_t* pVal) override;
  HRESULT get_LASERDEFLT(int32_t* pVal) override;
  HRESULT USELASERPWM1() override;
  HRESULT USELASERPWM2() override;
  HRESULT USELASERDEFLT() override;

  // IObjectSafety
  HRESULT GetInterfaceSafetyOptions(REFIID iid, uint32_t* supported, uint32_t* enabled) override;
  HRESULT SetInterfaceSafetyOptions(REFIID iid, uint32_t mask, uint32_t enabled) override;

  // IViewObject2: Draw is the paint entry (OnDraw).
  HRESULT Draw(QPainter* dc, const QRect& bounds) override { return OnDraw(dc, bounds); }
  HRESULT SetAdvise(IAdviseSink* sink) override;
  HRESULT GetExtent(int32_t* cx, int32_t* cy) override;

  HRESULT OnDraw(QPainter* dc, const QRect& bounds);
  void DrawPanel(QPainter* dc);
  void SetLed(int picture, int centreX);
  // The panel picture with the LEDs as last painted.
  const QImage& Panel() const { return panel_; }

  HRESULT SendCommand(const char* command);
  HRESULT QueryValues(const char* command, int base, std::initializer_list<int32_t*> values);

  // Objects alive in the library, for DllCanUnloadNow.
  static int Objects();

 protected:
  const InterfaceInfo& TypeInformation() const override { return TevloCtrlInterfaceInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override;

 private:
  void FireViewChange();
  // Lit or dark in the LED's own colour.
  void Led(TevloLed led, bool on);
  void ShowSwitchBits(int32_t bits);

  CDevicePort m_Port;
  QImage panel_;
  int panelWidth_ = 0;
  int panelHeight_ = 0;
  int destLeft_ = 0, destTop_ = 0, destWidth_ = 0, destHeight_ = 0;
  int32_t m_Frequency = 0;
  int32_t m_Pulsewidth = 0;
  int32_t m_ACh[8] = {};
  ObjectSafetyOptions safety_{INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA};
  IAdviseSink* sink_ = nullptr;
  int32_t extentX_ = 5080;  // HIMETRIC: two inches square
  int32_t extentY_ = 5080;
};

class CTevloCtrlFactory final : public ClassFactoryRoot {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT LockServer(bool lock) override;
  static int Locks();
};
