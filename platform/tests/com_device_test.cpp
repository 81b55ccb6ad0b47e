#include "com_device.h"

#include <cerrno>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

#include "pseudo_terminal.h"

using namespace platform;
using namespace std::chrono;

namespace {

struct ComDeviceTest : ::testing::Test {
  sim::PseudoTerminal pty;
  sim::ScopedPortMap map{{{7, pty.Path()}, {12, "/dev/zarn-no-such-device"}}};
  ComDevice device;

  void SetUp() override { ASSERT_EQ(device.Open("COM7"), 0); }

  void SetReadTimeout(uint32_t ms) {
    CommTimeouts t;
    t.readTotalConstant = ms;
    t.writeTotalConstant = ms;
    ASSERT_EQ(device.SetTimeouts(t), 0);
  }
};

}  // namespace

TEST_F(ComDeviceTest, OpensThroughTheMapOnly) {
  ComDevice other;
  EXPECT_EQ(other.Open("\\\\.\\COM12"), ENOENT);
  EXPECT_EQ(other.Open("COM13"), ENOENT);
  EXPECT_FALSE(other.IsOpen());
}

TEST_F(ComDeviceTest, SecondOpenOfAHeldPortIsRefusedUntilClosed) {
  ComDevice second;
  EXPECT_EQ(second.Open("COM7"), PortInUseError);
  EXPECT_EQ(device.Close(), 0);
  EXPECT_EQ(device.Close(), 0);  // a closed device closes nothing
  EXPECT_EQ(second.Open("COM7"), 0);
}

TEST_F(ComDeviceTest, RawLineCarriesEveryByteUnchanged) {
  SetReadTimeout(500);
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  size_t n;
  ASSERT_EQ(device.Write(all.data(), all.size(), n), 0);
  ASSERT_EQ(n, all.size());
  std::vector<uint8_t> got;
  while (got.size() < all.size()) {
    auto b = pty.ReadByte(milliseconds(500));
    ASSERT_TRUE(b);
    got.push_back(*b);
  }
  EXPECT_EQ(got, all);

  pty.Write(all);
  std::vector<uint8_t> back(256);
  ASSERT_EQ(device.Read(back.data(), back.size(), n), 0);
  EXPECT_EQ(n, back.size());
  EXPECT_EQ(back, all);
}

TEST_F(ComDeviceTest, LineSettingsRoundTrip) {
  LineSettings s;
  s.baudRate = 115200;
  s.stopBits = 2;  // a pseudo-terminal keeps 8N: parity cannot be seen here
  ASSERT_EQ(device.SetLineSettings(s), 0);
  LineSettings r;
  ASSERT_EQ(device.GetLineSettings(r), 0);
  EXPECT_EQ(r.baudRate, 115200u);
  EXPECT_EQ(r.stopBits, 2);
  EXPECT_FALSE(r.softwareFlow);
  s.baudRate = 12345;
  EXPECT_EQ(device.SetLineSettings(s), EINVAL);
}

TEST_F(ComDeviceTest, ALineWithoutModemControlIgnoresDtrAndRts) {
  LineSettings s;
  s.dtr = s.rts = false;
  EXPECT_EQ(device.SetLineSettings(s), 0);
  s.dtr = s.rts = true;
  EXPECT_EQ(device.SetLineSettings(s), 0);
}

// Modem control lines need a real UART; a machine without one skips this.
TEST(ComDeviceModemLines, DtrAndRtsFollowTheLineSettings) {
  ComDevice device;
  if (device.OpenDevice("/dev/ttyS0") != 0) GTEST_SKIP() << "no serial port /dev/ttyS0 to use";
  LineSettings r;
  ASSERT_EQ(device.GetLineSettings(r), 0);
  EXPECT_TRUE(r.dtr && r.rts);  // raised at open
  const struct {
    bool dtr, rts, hardwareFlow;
  } cases[] = {{false, false, false}, {true, false, false}, {false, true, false}, {true, true, false}};
  for (const auto& c : cases) {
    LineSettings s;
    s.dtr = c.dtr;
    s.rts = c.rts;
    ASSERT_EQ(device.SetLineSettings(s), 0);
    ASSERT_EQ(device.GetLineSettings(r), 0);
    EXPECT_EQ(r.dtr, c.dtr);
    EXPECT_EQ(r.rts, c.rts);
  }
}

TEST_F(ComDeviceTest, ReadWaitsTheTotalConstantForOneByte) {
  SetReadTimeout(150);
  uint8_t b;
  size_t n = 99;
  auto start = steady_clock::now();
  EXPECT_EQ(device.Read(&b, 1, n), 0);
  auto waited = duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_EQ(n, 0u);
  EXPECT_GE(waited, 145);
  EXPECT_LT(waited, 400);

  std::thread late([this] {
    std::this_thread::sleep_for(milliseconds(60));
    pty.Write({0x42});
  });
  EXPECT_EQ(device.Read(&b, 1, n), 0);
  late.join();
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(b, 0x42);
}

TEST_F(ComDeviceTest, ImmediateReadReturnsWhatIsQueued) {
  CommTimeouts t;
  t.readInterval = MaxTimeout;
  ASSERT_EQ(device.SetTimeouts(t), 0);
  uint8_t buf[4];
  size_t n = 9;
  EXPECT_EQ(device.Read(buf, 4, n), 0);
  EXPECT_EQ(n, 0u);
}

TEST_F(ComDeviceTest, HangUpFailsTheReadAtOnce) {
  SetReadTimeout(3000);
  std::thread unplug([this] {
    std::this_thread::sleep_for(milliseconds(50));
    pty.Unplug();
  });
  uint8_t b;
  size_t n;
  auto start = steady_clock::now();
  EXPECT_EQ(device.Read(&b, 1, n), EIO);
  unplug.join();
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 1000);
  EXPECT_NE(device.Write(&b, 1, n), 0);
}

TEST_F(ComDeviceTest, PurgeDropsPendingInput) {
  SetReadTimeout(100);
  pty.Write({1, 2, 3});
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(device.Purge(PurgeRxAbort | PurgeRxClear | PurgeTxAbort | PurgeTxClear), 0);
  uint8_t b;
  size_t n;
  EXPECT_EQ(device.Read(&b, 1, n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(device.SetQueueSizes(4096, 4096), 0);
}

TEST(ComDeviceFile, NonTerminalIsRefused) {
  const char* path = "/tmp/zarn-not-a-tty";
  std::ofstream(path) << "x";
  ComDevice d;
  EXPECT_EQ(d.OpenDevice(path), ENOTTY);
  EXPECT_FALSE(d.IsOpen());
  std::remove(path);
}
