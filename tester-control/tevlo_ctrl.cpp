#include "tevlo_ctrl.h"

#include <QPainter>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "message_pump.h"

namespace {

std::atomic<int> objects{0};
std::atomic<int> locks{0};

constexpr int ReplyLength = 128;

bool IsGreen(TevloLed led) { return led == LedPower || led == LedExtPower || led == LedBattery; }

}  // namespace

QImage LoadTevloPicture(int id) { return QImage(QString(":/tevlo/%1.png").arg(id)); }

CTevloCtrl::CTevloCtrl() {
  ++objects;
  m_Port.Close();
  panel_ = LoadTevloPicture(IDB_PANEL).convertToFormat(QImage::Format_RGB32);
  panelWidth_ = panel_.width();
  panelHeight_ = panel_.height();
  for (TevloLed led : {LedPower, LedRx, LedClose, LedTest, LedTx, LedLeft, LedExtPower, LedRight, LedBattery})
    Led(led, false);
}

CTevloCtrl::~CTevloCtrl() { --objects; }

int CTevloCtrl::Objects() { return objects; }

HRESULT CTevloCtrl::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ITevloCtrl)
    *object = static_cast<ITevloCtrl*>(this);
  else if (iid == IID_IObjectSafety)
    *object = static_cast<IObjectSafety*>(this);
  else if (iid == IID_IViewObject2)
    *object = static_cast<IViewObject2*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

// ---- the link ----

HRESULT CTevloCtrl::SendCommand(const char* command) {
  if (m_Port.WriteCommand(command) == 0) return E_FAIL;
  char Reply[ReplyLength];
  return m_Port.ReadReply(Reply, ReplyLength) > 0 ? S_OK : E_FAIL;
}

HRESULT CTevloCtrl::QueryValues(const char* command, int base, std::initializer_list<int32_t*> values) {
  if (m_Port.WriteCommand(command) == 0) return E_FAIL;
  char Reply[ReplyLength];
  int end = m_Port.ReadReply(Reply, ReplyLength);
  if (end <= 0) return E_FAIL;
  // The reply starts with the echo of the command.
  size_t skip = std::min(std::strlen(command), std::strlen(Reply));
  const char* pReply = Reply + skip;
  for (int32_t* value : values) *value = ParseInt(&pReply, base);
  return S_OK;
}

// ---- ITevloCtrl ----

HRESULT CTevloCtrl::get_Comport(uint8_t* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = uint8_t(m_Port.GetNumber());
  return S_OK;
}

HRESULT CTevloCtrl::put_Comport(uint8_t newVal) {
  m_Port.Close();
  Led(LedPower, false);
  if (newVal == 0) return S_OK;
  HRESULT hr = m_Port.Open(newVal);
  if (hr == S_OK) Led(LedPower, true);
  return hr;
}

HRESULT CTevloCtrl::Reset() {
  Led(LedPower, true);
  for (TevloLed led : {LedRx, LedClose, LedTest, LedTx, LedLeft, LedExtPower}) Led(led, false);
  Led(LedRight, true);
  Led(LedBattery, false);
  return SendCommand("RESET");
}

HRESULT CTevloCtrl::get_Version(uint32_t* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = 100;
  return S_OK;
}

HRESULT CTevloCtrl::SB(int n) {
  switch (n) {
    case 0: Led(LedBattery, true); break;
    case 1: Led(LedRight, false); Led(LedLeft, true); break;
    case 2: Led(LedExtPower, true); break;
    case 3: Led(LedClose, true); break;
    default: break;
  }
  return SendCommand(("SB" + std::to_string(n)).c_str());
}

HRESULT CTevloCtrl::CB(int n) {
  switch (n) {
    case 0: Led(LedBattery, false); break;
    case 1: Led(LedRight, true); Led(LedLeft, false); break;
    case 2: Led(LedExtPower, false); break;
    case 3: Led(LedClose, false); break;
    default: break;
  }
  return SendCommand(("CB" + std::to_string(n)).c_str());
}

void CTevloCtrl::ShowSwitchBits(int32_t v) {
  Led(LedBattery, v & 1);
  if (v & 2) {
    Led(LedRight, false);
    Led(LedLeft, true);
  } else {
    Led(LedRight, true);
    Led(LedLeft, false);
  }
  Led(LedExtPower, v & 4);
  Led(LedClose, v & 8);
}

HRESULT CTevloCtrl::get_P1(int32_t* pVal) {
  if (!pVal) return E_POINTER;
  int32_t v = 0;
  HRESULT hr = QueryValues("?P1", 16, {&v});
  if (hr != S_OK) return hr;
  *pVal = v;
  ShowSwitchBits(v);
  return S_OK;
}

HRESULT CTevloCtrl::put_P1(int32_t newVal) {
  char Cmd[32];
  std::snprintf(Cmd, sizeof Cmd, "!P1 %d", int(newVal));
  HRESULT hr = SendCommand(Cmd);
  if (hr == S_OK) ShowSwitchBits(newVal);
  return hr;
}

HRESULT CTevloCtrl::FQP() { return QueryValues("FQP", 10, {&m_Frequency, &m_Pulsewidth}); }

HRESULT CTevloCtrl::get_Frequency(int32_t* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = m_Frequency;
  return S_OK;
}

HRESULT CTevloCtrl::get_Pulsewidth(int32_t* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = m_Pulsewidth;
  return S_OK;
}

HRESULT CTevloCtrl::MEAS() {
  int32_t* a = m_ACh;
  return QueryValues("MEAS", 10, {&a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7]});
}

HRESULT CTevloCtrl::get_ACh(int channel, int32_t* pVal) {
  if (!pVal) return E_POINTER;
  if (channel < 0 || channel > 7) return E_INVALIDARG;
  *pVal = m_ACh[channel];
  return S_OK;
}

HRESULT CTevloCtrl::CLOSEFO() {
  HRESULT hr = SendCommand("CLOSEFO");
  if (hr == S_OK) {
    Led(LedClose, true);
    Led(LedTest, false);
  }
  return hr;
}

HRESULT CTevloCtrl::OPENFO() {
  HRESULT hr = SendCommand("OPENFO");
  if (hr == S_OK) Led(LedClose, false);
  return hr;
}

HRESULT CTevloCtrl::TESTFOON() {
  HRESULT hr = SendCommand("+TESTFO");
  if (hr == S_OK) {
    Led(LedClose, false);
    Led(LedTest, true);
  }
  return hr;
}

HRESULT CTevloCtrl::TESTFOOFF() {
  HRESULT hr = SendCommand("-TESTFO");
  if (hr == S_OK) Led(LedTest, false);
  return hr;
}

HRESULT CTevloCtrl::Delay(int32_t Value) {
  for (int32_t step = 0; step < Value / 10; ++step) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!platform::DispatchWaitingMessages()) return S_OK;
  }
  return S_OK;
}

HRESULT CTevloCtrl::get_LASERPWM(int32_t* pVal) {
  if (!pVal) return E_POINTER;
  return QueryValues(".LASERPWM", 10, {pVal});
}

HRESULT CTevloCtrl::get_LASERPWM1(int32_t* pVal) {
  if (!pVal) return E_POINTER;
  return QueryValues(".LASERPWM1", 10, {pVal});
}

HRESULT CTevloCtrl::get_LASERPWM2(int32_t* pVal) {
  if (!pVal) return E_POINTER;
  return QueryValues(".LASERPWM2", 10, {pVal});
}

HRESULT CTevloCtrl::get_LASERDEFLT(int32_t* pVal) {
  if (!pVal) return E_POINTER;
  return QueryValues(".LASERDEFLT", 10, {pVal});
}

HRESULT CTevloCtrl::USELASERPWM1() { return SendCommand("USELASERPWM1"); }
HRESULT CTevloCtrl::USELASERPWM2() { return SendCommand("USELASERPWM2"); }
HRESULT CTevloCtrl::USELASERDEFLT() { return SendCommand("USELASERDEFLT"); }

HRESULT CTevloCtrl::InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) {
  return InvokeTevloCtrl(*this, member, args, result);
}

// ---- IObjectSafety ----

HRESULT CTevloCtrl::GetInterfaceSafetyOptions(REFIID iid, uint32_t* supported, uint32_t* enabled) {
  return safety_.Get(*static_cast<ITevloCtrl*>(this), iid, supported, enabled);
}

HRESULT CTevloCtrl::SetInterfaceSafetyOptions(REFIID iid, uint32_t mask, uint32_t enabled) {
  return safety_.Set(*static_cast<ITevloCtrl*>(this), iid, mask, enabled);
}

// ---- the panel ----

HRESULT CTevloCtrl::SetAdvise(IAdviseSink* sink) {
  sink_ = sink;
  return S_OK;
}

HRESULT CTevloCtrl::GetExtent(int32_t* cx, int32_t* cy) {
  if (!cx || !cy) return E_POINTER;
  *cx = extentX_;
  *cy = extentY_;
  return S_OK;
}

void CTevloCtrl::FireViewChange() {
  if (sink_) sink_->OnViewChange();
}

void CTevloCtrl::Led(TevloLed led, bool on) {
  int picture = IsGreen(led) ? (on ? IDB_LED_GREEN_ON : IDB_LED_GREEN_OFF) : (on ? IDB_LED_AMBER_ON : IDB_LED_AMBER_OFF);
  SetLed(picture, led);
}

void CTevloCtrl::SetLed(int picture, int centreX) {
  QImage led = LoadTevloPicture(picture).convertToFormat(QImage::Format_RGB32);
  QImage mask = LoadTevloPicture(IDB_LED_MASK);
  const int left = centreX - LedBoxLeftOfCentre;
  // Where the mask is 1 the LED's pixel, where it is 0 the panel's own.
  for (int y = 0; y < LedBoxSize; ++y) {
    for (int x = 0; x < LedBoxSize; ++x) {
      int px = left + x, py = LedBoxTop + y;
      if (!panel_.valid(px, py) || !led.valid(x, y) || !mask.valid(x, y)) continue;
      if (qGray(mask.pixel(x, y)) >= 128) panel_.setPixel(px, py, led.pixel(x, y));
    }
  }
  FireViewChange();
}

HRESULT CTevloCtrl::OnDraw(QPainter* dc, const QRect& bounds) {
  if (!dc) return S_OK;
  const bool hadClip = dc->hasClipping();
  const QRegion savedClip = dc->clipRegion();
  dc->setClipRect(bounds, Qt::ReplaceClip);
  destLeft_ = bounds.left();
  destTop_ = bounds.top();
  destWidth_ = bounds.width();
  destHeight_ = bounds.height();
  DrawPanel(dc);
  if (hadClip)
    dc->setClipRegion(savedClip, Qt::ReplaceClip);
  else
    dc->setClipping(false);
  return S_OK;
}

void CTevloCtrl::DrawPanel(QPainter* dc) {
  const float r = float(panelWidth_) / float(panelHeight_);
  const float a = float(destWidth_) / float(destHeight_);
  int width, height;
  if (a < r) {
    width = destWidth_;
    height = int(float(destWidth_) / r);
  } else {
    height = destHeight_;
    width = int(float(destHeight_) * r);
  }
  if (width <= 0 || height <= 0) return;
  const bool smooth = dc->testRenderHint(QPainter::SmoothPixmapTransform);
  dc->setRenderHint(QPainter::SmoothPixmapTransform, true);
  dc->drawImage(QRect(destLeft_, destTop_, width, height), panel_, QRect(0, 0, panelWidth_, panelHeight_));
  dc->setRenderHint(QPainter::SmoothPixmapTransform, smooth);
}

// ---- class factory ----

HRESULT CTevloCtrlFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  ComPtr<ITevloCtrl> control(new CTevloCtrl);
  return control->QueryInterface(iid, object);
}

HRESULT CTevloCtrlFactory::LockServer(bool lock) {
  locks += lock ? 1 : -1;
  return S_OK;
}

int CTevloCtrlFactory::Locks() { return locks; }
