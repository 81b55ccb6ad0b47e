#include <QApplication>
#include <QPainter>
#include <QTimer>
#include <chrono>

#include "com_device.h"
#include "tester_fixture.h"
#include "tevlo_ctrl.h"

namespace {

using Clock = std::chrono::steady_clock;

// True when the LED's box shows the picture inside the disc and the bare panel outside it.
::testing::AssertionResult ShowsLed(const CTevloCtrl& control, TevloLed led, int picture) {
  const QImage panel = control.Panel();
  const QImage bare = LoadTevloPicture(IDB_PANEL).convertToFormat(QImage::Format_RGB32);
  const QImage lit = LoadTevloPicture(picture).convertToFormat(QImage::Format_RGB32);
  const QImage mask = LoadTevloPicture(IDB_LED_MASK);
  const int left = led - LedBoxLeftOfCentre;
  for (int y = 0; y < LedBoxSize; ++y)
    for (int x = 0; x < LedBoxSize; ++x) {
      QRgb want = qGray(mask.pixel(x, y)) >= 128 ? lit.pixel(x, y) : bare.pixel(left + x, LedBoxTop + y);
      if (panel.pixel(left + x, LedBoxTop + y) != want)
        return ::testing::AssertionFailure() << "LED at " << int(led) << " differs at (" << x << "," << y << ")";
    }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Lit(const CTevloCtrl& c, TevloLed led) {
  bool green = led == LedPower || led == LedExtPower || led == LedBattery;
  return ShowsLed(c, led, green ? IDB_LED_GREEN_ON : IDB_LED_AMBER_ON);
}

::testing::AssertionResult Dark(const CTevloCtrl& c, TevloLed led) {
  bool green = led == LedPower || led == LedExtPower || led == LedBattery;
  return ShowsLed(c, led, green ? IDB_LED_GREEN_OFF : IDB_LED_AMBER_OFF);
}

constexpr TevloLed AllLeds[] = {LedPower, LedRx, LedClose, LedTest, LedTx, LedLeft, LedExtPower, LedRight, LedBattery};

// A control as the framework holds it: one counted reference.
struct Control {
  ComPtr<CTevloCtrl> p{new CTevloCtrl};
  CTevloCtrl* operator->() const { return p.Get(); }
  const CTevloCtrl& operator*() const { return *p.Get(); }
};

TEST(TevloPanel, StartsWithEveryLedDarkAndMaskCornersKeepThePanel) {
  Control c;
  EXPECT_EQ(c->Panel().size(), QSize(1519, 250));
  for (TevloLed led : AllLeds) EXPECT_TRUE(Dark(*c, led));
  // The mask's corner is 0: the panel's own pixel, not the LED picture's.
  const QImage bare = LoadTevloPicture(IDB_PANEL).convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(c->Panel().pixel(LedBattery - 17, LedBoxTop), bare.pixel(LedBattery - 17, LedBoxTop));
  EXPECT_NE(c->Panel().pixel(LedBattery, LedCentreY), bare.pixel(LedBattery, LedCentreY));
}

// Paints into a canvas of the given size and returns the rectangle that was painted.
QRect PaintedArea(CTevloCtrl& control, QSize size) {
  QImage canvas(std::max(size.width(), 1), std::max(size.height(), 1), QImage::Format_RGB32);
  const QRgb background = qRgb(255, 0, 255);
  canvas.fill(background);
  {
    QPainter painter(&canvas);
    EXPECT_EQ(control.OnDraw(&painter, QRect(QPoint(0, 0), size)), S_OK);
  }
  QRect area;
  for (int y = 0; y < canvas.height(); ++y)
    for (int x = 0; x < canvas.width(); ++x)
      if (canvas.pixel(x, y) != background) area |= QRect(x, y, 1, 1);
  return area;
}

TEST(TevloPanel, KeepsItsAspectInTheTopLeftCorner) {
  Control c;
  struct Case {
    QSize bounds;
    QRect drawn;
  } cases[] = {
      {{1519, 250}, {0, 0, 1519, 250}},
      {{1519, 500}, {0, 0, 1519, 249}},  // the single-precision ratio falls just short of 250
      {{760, 250}, {0, 0, 760, 125}},
      {{3038, 250}, {0, 0, 1519, 250}},
      {{400, 0}, {}},
  };
  for (const Case& k : cases) EXPECT_EQ(PaintedArea(*c.p.Get(), k.bounds), k.drawn) << k.bounds.width() << "x" << k.bounds.height();
}

TEST(TevloPanel, GivesTheContainersClipRegionBack) {
  Control c;
  QImage canvas(800, 300, QImage::Format_RGB32);
  QPainter painter(&canvas);
  c->OnDraw(&painter, QRect(0, 0, 760, 125));
  EXPECT_FALSE(painter.hasClipping());
  const QRegion clip(QRect(10, 10, 100, 50));
  painter.setClipRegion(clip);
  c->OnDraw(&painter, QRect(0, 0, 760, 125));
  EXPECT_TRUE(painter.hasClipping());
  EXPECT_EQ(painter.clipRegion(), clip);
}

TEST(TevloControl, MembersWithoutAPort) {
  Control c;
  uint32_t version = 0;
  EXPECT_EQ(c->get_Version(&version), S_OK);
  EXPECT_EQ(version, 100u);

  // LEDs before the command are painted whatever its result.
  EXPECT_EQ(c->SB(1), E_FAIL);
  EXPECT_TRUE(Lit(*c, LedLeft));
  EXPECT_TRUE(Dark(*c, LedRight));
  // LEDs on success are not.
  EXPECT_EQ(c->CLOSEFO(), E_FAIL);
  EXPECT_TRUE(Dark(*c, LedClose));

  EXPECT_EQ(c->put_Comport(42), HRESULT(0x80070002u));
  EXPECT_TRUE(Dark(*c, LedPower));
  uint8_t port = 0;
  EXPECT_EQ(c->get_Comport(&port), S_OK);
  EXPECT_EQ(port, 42);
}

class TevloWithTester : public TesterFixture {
 protected:
  void SetUp() override { ASSERT_EQ(c->put_Comport(TesterCom), S_OK); }
  Control c;
};

TEST_F(TevloWithTester, ComportSwitchesPowerAndZeroClosesThePort) {
  EXPECT_TRUE(Lit(*c, LedPower));
  EXPECT_EQ(c->put_Comport(0), S_OK);
  EXPECT_TRUE(Dark(*c, LedPower));
  uint8_t port = 1;
  c->get_Comport(&port);
  EXPECT_EQ(port, 0);
  platform::ComDevice other;
  EXPECT_EQ(other.Open("COM7"), 0);
}

TEST_F(TevloWithTester, CommandsSendTheirLinesAndMirrorTheirLeds) {
  EXPECT_EQ(c->Reset(), S_OK);
  EXPECT_TRUE(Lit(*c, LedPower));
  EXPECT_TRUE(Lit(*c, LedRight));
  for (TevloLed led : {LedRx, LedClose, LedTest, LedTx, LedLeft, LedExtPower, LedBattery}) EXPECT_TRUE(Dark(*c, led));

  EXPECT_EQ(c->SB(0), S_OK);
  EXPECT_TRUE(Lit(*c, LedBattery));
  EXPECT_EQ(c->TESTFOON(), S_OK);
  EXPECT_TRUE(Lit(*c, LedTest));
  EXPECT_EQ(c->CLOSEFO(), S_OK);
  EXPECT_TRUE(Lit(*c, LedClose));
  EXPECT_TRUE(Dark(*c, LedTest));
  EXPECT_EQ(c->SB(11), S_OK);
  EXPECT_EQ(c->CB(2), S_OK);
  EXPECT_EQ(c->TESTFOOFF(), S_OK);
  EXPECT_EQ(c->OPENFO(), S_OK);
  EXPECT_EQ(c->USELASERPWM2(), S_OK);
  int32_t laser = 0;
  EXPECT_EQ(c->get_LASERPWM1(&laser), S_OK);
  EXPECT_EQ(laser, 96);
  EXPECT_TRUE(Dark(*c, LedClose));
  const std::vector<std::string> lines{"RESET\r",   "SB0\r",    "+TESTFO\r",      "CLOSEFO\r",    "SB11\r",
                                       "CB2\r",     "-TESTFO\r", "OPENFO\r",      "USELASERPWM2\r", ".LASERPWM1\r"};
  EXPECT_EQ(tester_.Received(), lines);
}

TEST_F(TevloWithTester, P1WritesDecimalReadsHexAndShowsBitsZeroToThree) {
  EXPECT_EQ(c->put_P1(5), S_OK);
  EXPECT_EQ(tester_.Received().back(), "!P1 5\r");
  EXPECT_TRUE(Lit(*c, LedBattery));
  EXPECT_TRUE(Lit(*c, LedRight));
  EXPECT_TRUE(Lit(*c, LedExtPower));
  EXPECT_TRUE(Dark(*c, LedLeft));
  EXPECT_TRUE(Dark(*c, LedClose));

  tester_.SetValues("?P1", "A");
  int32_t v = 0;
  EXPECT_EQ(c->get_P1(&v), S_OK);
  EXPECT_EQ(v, 10);
  EXPECT_TRUE(Lit(*c, LedLeft));
  EXPECT_TRUE(Lit(*c, LedClose));
  EXPECT_TRUE(Dark(*c, LedBattery));
  EXPECT_TRUE(Dark(*c, LedRight));
  EXPECT_TRUE(Dark(*c, LedExtPower));
}

TEST_F(TevloWithTester, QueriesCacheTheirValuesOnlyOnSuccess) {
  int32_t f = -1;
  c->get_Frequency(&f);
  EXPECT_EQ(f, 0);
  EXPECT_EQ(c->FQP(), S_OK);
  EXPECT_EQ(c->MEAS(), S_OK);
  int32_t p = 0, a7 = 0;
  c->get_Frequency(&f);
  c->get_Pulsewidth(&p);
  c->get_ACh(7, &a7);
  EXPECT_EQ(f, 1000);
  EXPECT_EQ(p, 50);
  EXPECT_EQ(a7, 808);

  tester_.SetFault(sim::TesterFault::NoOk);
  EXPECT_EQ(c->FQP(), E_FAIL);
  c->get_Frequency(&f);
  EXPECT_EQ(f, 1000);

  tester_.SetFault(sim::TesterFault::OmitValues);
  EXPECT_EQ(c->FQP(), S_OK);
  c->get_Frequency(&f);
  EXPECT_EQ(f, 0);

  // A reply shorter than the echo: parsing starts at its end, never beyond.
  tester_.SetFault(sim::TesterFault::None);
  EXPECT_EQ(c->MEAS(), S_OK);
  tester_.SetFault(sim::TesterFault::Raw, 0, "ok");
  EXPECT_EQ(c->MEAS(), S_OK);
  for (int channel = 0; channel < 8; ++channel) {
    int32_t a = -1;
    c->get_ACh(channel, &a);
    EXPECT_EQ(a, 0) << channel;
  }
}

TEST_F(TevloWithTester, ReleasingTheControlFreesThePortAtOnce) {
  c.p.Reset();
  platform::ComDevice other;
  EXPECT_EQ(other.Open("COM7"), 0);
}

TEST(TevloControl, DelayWaitsInStepsOfTenMilliseconds) {
  Control c;
  auto start = Clock::now();
  EXPECT_EQ(c->Delay(9), S_OK);
  EXPECT_EQ(c->Delay(-50), S_OK);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(5));
  start = Clock::now();
  EXPECT_EQ(c->Delay(25), S_OK);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

TEST(TevloControl, AQuitRequestEndsDelayAndStaysForTheHost) {
  Control c;
  bool timerRan = false;
  Clock::duration waited{};
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(30, [&] {
      timerRan = true;
      QCoreApplication::quit();
    });
    auto start = Clock::now();
    EXPECT_EQ(c->Delay(5000), S_OK);
    waited = Clock::now() - start;
  });
  // The host's loop ends by the request that the delay handed back.
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(3000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_TRUE(timerRan);
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
}

TEST(TevloControl, ObjectSafety) {
  Control c;
  uint32_t supported = 9, enabled = 9;
  EXPECT_EQ(c->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
  EXPECT_EQ(c->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(c->GetInterfaceSafetyOptions(IID_ITevloCtrl, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(c->SetInterfaceSafetyOptions(IID_IClassFactory, 1, 1), E_NOINTERFACE);
  EXPECT_EQ(c->SetInterfaceSafetyOptions(IID_IDispatch, 4 | 1, 1), E_FAIL);
  EXPECT_EQ(c->SetInterfaceSafetyOptions(IID_IDispatch, 1, 3), S_OK);
  c->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
  EXPECT_EQ(enabled, 1u);
}

}  // namespace
