#include <chrono>
#include <string>

#include "com_device.h"
#include "device_port.h"
#include "tester_fixture.h"
#include "tevlo_ctrl.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct ParseCase {
  const char* text;
  int base;
  std::vector<int32_t> values;
  size_t restAt;  // where the position stands after the last value
};

TEST(ParseInt, ReadsAsThe32BitRuntimeDoes) {
  const ParseCase cases[] = {
      {"\r\n1000 50\r\nok", 10, {1000, 50}, 9},
      {"1A", 16, {26}, 2},
      {"0x1A", 16, {26}, 4},
      {"FFFFFFFF", 16, {0x7FFFFFFF}, 8},              // clamped, never -1
      {"-99999999999", 10, {INT32_MIN}, 12},
      {" 12 x 34", 10, {12, 0, 0}, 4},               // a letter ends every later value
      {"", 10, {0}, 0},
  };
  for (const ParseCase& c : cases) {
    const char* p = c.text;
    for (int32_t expected : c.values) EXPECT_EQ(ParseInt(&p, c.base), expected) << c.text;
    EXPECT_EQ(size_t(p - c.text), c.restAt) << c.text;
  }
}

class DevicePortTest : public TesterFixture {
 protected:
  void SetUp() override { ASSERT_EQ(port_.Open(TesterCom), S_OK); }
  int Exchange(const char* command, std::string* text = nullptr) {
    if (port_.WriteCommand(command) == 0) return -2;
    char reply[128];
    int end = port_.ReadReply(reply, 128);
    if (text && end > 0) *text = reply;
    return end;
  }
  CDevicePort port_;
};

TEST_F(DevicePortTest, SendsTheCommandWithACarriageReturnAndReadsUpToOk) {
  std::string text;
  EXPECT_EQ(port_.WriteCommand("SB3"), 4);
  char reply[128];
  EXPECT_EQ(port_.ReadReply(reply, 128), 6);
  EXPECT_STREQ(reply, "SB3\r\nok");
  ASSERT_TRUE(tester_.WaitForLines(1, std::chrono::seconds(1)));
  EXPECT_EQ(tester_.Received(), std::vector<std::string>{"SB3\r"});

  tester_.SetFault(sim::TesterFault::Raw, 0, "ok");
  EXPECT_EQ(Exchange("X"), 1);
}

TEST_F(DevicePortTest, ReplyLimitIs127BytesWithoutOk) {
  tester_.SetFault(sim::TesterFault::NoOk);
  EXPECT_EQ(Exchange("SB0"), -1);
  // "ok" ending at the 127th byte still counts.
  tester_.SetFault(sim::TesterFault::Raw, 0, std::string(125, '.') + "ok");
  std::string text;
  EXPECT_EQ(Exchange("SB0", &text), 126);
  EXPECT_EQ(text.size(), 127u);
}

TEST_F(DevicePortTest, SilenceFailsAfterOneSecond) {
  tester_.SetFault(sim::TesterFault::Silence);
  auto start = Clock::now();
  EXPECT_EQ(Exchange("RESET"), 0);
  EXPECT_GE(MsSince(start), 950);
  EXPECT_LT(MsSince(start), 1500);
}

TEST_F(DevicePortTest, ATrickleIsReadWhileBytesKeepComing) {
  tester_.SetFault(sim::TesterFault::Trickle, 20);
  std::string text;
  EXPECT_GT(Exchange("SB1", &text), 0);
  EXPECT_EQ(text, "SB1\r\nok");
}

TEST_F(DevicePortTest, LeftoverBytesNeverReachTheNextReply) {
  // After its "ok" the tester sends what would read as a whole reply of its own.
  tester_.SetFault(sim::TesterFault::Trailer, 0, "\r\n99\r\nok");
  EXPECT_GT(Exchange("SB0"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  tester_.SetFault(sim::TesterFault::None);
  std::string text;
  EXPECT_GT(Exchange("FQP", &text), 0);
  EXPECT_EQ(text, "FQP\r\n1000 50\r\nok");
}

TEST_F(DevicePortTest, CloseForgetsTheNumberAndClosingTwiceIsHarmless) {
  EXPECT_EQ(port_.GetNumber(), TesterCom);
  EXPECT_EQ(port_.Close(), S_OK);
  EXPECT_EQ(port_.GetNumber(), 0);
  EXPECT_EQ(port_.Close(), S_OK);
  EXPECT_EQ(port_.WriteCommand("SB0"), 0);
}

TEST_F(TesterFixture, AHeldPortFailsAfterASecondTry) {
  platform::ComDevice other;
  ASSERT_EQ(other.Open("COM7"), 0);
  CDevicePort port;
  auto start = Clock::now();
  EXPECT_EQ(port.Open(TesterCom), HRESULT(0x80070005u));
  EXPECT_GE(MsSince(start), 150);
  EXPECT_EQ(port.GetNumber(), TesterCom);
  EXPECT_EQ(port.WriteCommand("SB0"), 0);
}

TEST_F(TesterFixture, AMissingPortIsFileNotFound) {
  CDevicePort port;
  EXPECT_EQ(port.Open(42), HRESULT(0x80070002u));
  EXPECT_EQ(port.GetNumber(), 42);
}

}  // namespace
