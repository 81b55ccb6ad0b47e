#include "serial_port.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"

using namespace std::chrono;
using Bytes = std::vector<uint8_t>;

namespace {

long long MillisecondsSince(steady_clock::time_point start) {
  return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

int ThrownBy(unsigned number) {
  try {
    CSerialPort port(number);
  } catch (int e) {
    return e;
  }
  return 0;
}

// A token's line on a pseudo-terminal mapped as COM7; the test plays the token.
struct TokenLine : ::testing::Test {
  sim::PseudoTerminal pty;
  sim::ScopedPortMap map{{{7, pty.Path(), true}}};
  CSerialPort port{7};

  int Read(const Bytes& wire, Bytes& payload, int max = 74) {
    pty.Write(wire);
    payload.assign(size_t(max), 0);
    int n = port.ReadFrame(payload.data(), max);
    payload.resize(size_t(n));
    return n;
  }
};

TEST(TokenPortOpen, RefusesPort16AndReportsTheSystemsCodes) {
  sim::PseudoTerminal pty;
  // Port 16 is mapped to a device that does not exist: 88 shows that nothing was opened.
  sim::ScopedPortMap map{{{7, pty.Path(), true}, {16, "/dev/zarn-no-such-device", true}}};
  EXPECT_EQ(ThrownBy(RefusedTokenPort), RefusedTokenPortError);
  EXPECT_EQ(ThrownBy(0), ENOENT);
  EXPECT_EQ(ThrownBy(9), ENOENT);
  CSerialPort held(7);
  EXPECT_EQ(ThrownBy(7), platform::PortInUseError);
  held.Close();
  EXPECT_EQ(ThrownBy(7), 0);
}

TEST(TokenPortOpen, SetsTheLineTo115200EightBitsOneStopBit) {
  sim::PseudoTerminal pty;
  sim::ScopedPortMap map{{{7, pty.Path(), true}}};
  {
    // A line left at 2 stop bits and another speed by whoever used it before.
    platform::ComDevice before;
    ASSERT_EQ(before.Open("COM7"), 0);
    platform::LineSettings odd;
    odd.baudRate = 9600;
    odd.stopBits = 2;
    ASSERT_EQ(before.SetLineSettings(odd), 0);
  }
  CSerialPort port(7);
  const auto line = pty.LineSettings();
  EXPECT_EQ(line.baudRate, 115200u);
  EXPECT_EQ(line.dataBits, 8);
  EXPECT_EQ(line.stopBits, 1);
  EXPECT_FALSE(line.parity);
}

TEST_F(TokenLine, ControlBytesAreStuffed) {
  struct Case {
    Bytes payload, wire;
  };
  const Case cases[] = {
      {{0xC0, 0x41}, {0xC0, 0x7D, 0xE0, 0x41, 0xC1}},
      {{0x7D}, {0xC0, 0x7D, 0x5D, 0xC1}},
      {{0xC1}, {0xC0, 0x7D, 0xE1, 0xC1}},
      {{0x0F, 0x00, 0xE0, 0x5D}, {0xC0, 0x0F, 0x00, 0xE0, 0x5D, 0xC1}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(port.WriteFrame(c.payload.data(), int(c.payload.size())), int(c.payload.size()));
    EXPECT_EQ(pty.ReadUntilQuiet(milliseconds(30)), c.wire);
  }
}

TEST_F(TokenLine, ReaderFindsTheNextCompleteFrame) {
  struct Case {
    Bytes wire, payload;
  };
  const Case cases[] = {
      {{0x11, 0x22, 0xC0, 0x05, 0x00, 0xC1}, {0x05, 0x00}},  // noise before the start
      {{0xC0, 0xC1, 0xC0, 0x07, 0xC1}, {0x07}},              // an empty frame is skipped
      {{0xC0, 0x41, 0xC0, 0x42, 0xC1}, {0x42}},              // a new start discards
      {{0xC0, 0x7D, 0xE0, 0xC1}, {0xC0}},
      {{0xC1, 0xC0, 0x33, 0xC1}, {0x33}},                    // an end outside a frame
      {{0x7D, 0xC0, 0x44, 0xC1}, {0x44}},                    // an escape outside a frame
      {{0xC0, 0x7D, 0xC0, 0x55, 0xC1}, {0x55}},              // control bytes stay control after an escape
      {{0xC0, 0x7D, 0x5D, 0x7D, 0xE1, 0xC1}, {0x7D, 0xC1}},
  };
  for (const auto& c : cases) {
    Bytes payload;
    EXPECT_EQ(Read(c.wire, payload), int(c.payload.size()));
    EXPECT_EQ(payload, c.payload);
  }
}

TEST_F(TokenLine, PayloadMustStayBelowTheBuffer) {
  Bytes wire{0xC0};
  wire.insert(wire.end(), 73, 0x42);
  wire.push_back(0xC1);
  Bytes payload;
  EXPECT_EQ(Read(wire, payload), 73);

  wire.insert(wire.begin() + 1, 0x42);  // 74 payload bytes
  auto start = steady_clock::now();
  EXPECT_EQ(Read(wire, payload), 0);
  EXPECT_LT(MillisecondsSince(start), 50);  // refused on the full buffer, not by a time-out
}

TEST_F(TokenLine, AStreamThatNeverCompletesAFrameEndsTheRead) {
  for (const Bytes& pattern : {Bytes{0x41}, Bytes{0xC0, 0x41}, Bytes{0xC0}, Bytes{0x7D, 0xC1}}) {
    std::atomic<bool> done{false};
    std::thread stream([&] {
      auto until = steady_clock::now() + seconds(3);
      while (!done && steady_clock::now() < until) {
        pty.Write(pattern);
        std::this_thread::sleep_for(microseconds(200));
      }
    });
    uint8_t buffer[74];
    auto start = steady_clock::now();
    EXPECT_EQ(port.ReadFrame(buffer, 74), 0);
    EXPECT_LT(MillisecondsSince(start), 1500) << int(pattern[0]);
    done = true;
    stream.join();
    std::this_thread::sleep_for(milliseconds(20));
    port.PurgeInput();
  }
}

TEST_F(TokenLine, SilenceEndsAfterTheByteTimeout) {
  Bytes payload;
  auto start = steady_clock::now();
  EXPECT_EQ(Read({0xC0, 0x05, 0x00}, payload), 0);
  auto waited = MillisecondsSince(start);
  EXPECT_GE(waited, 95);
  EXPECT_LT(waited, 400);

  port.SetTimeouts(300);
  start = steady_clock::now();
  uint8_t b;
  EXPECT_EQ(port.Read(&b, 1), 0);
  EXPECT_GE(MillisecondsSince(start), 295);

  // Each byte gets its own wait: a slow but steady frame is read whole.
  std::thread trickle([this] {
    for (uint8_t x : Bytes{0xC0, 0x01, 0x02, 0x03, 0xC1}) {
      std::this_thread::sleep_for(milliseconds(100));
      pty.Write(&x, 1);
    }
  });
  uint8_t buffer[74];
  EXPECT_EQ(port.ReadFrame(buffer, 74), 3);
  trickle.join();
}

TEST_F(TokenLine, PurgeDropsWhatNobodyRead) {
  pty.Write(Bytes{0xC0, 0x01, 0xC1});
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(port.PurgeInput(), 0);
  Bytes payload;
  EXPECT_EQ(Read({0xC0, 0x02, 0xC1}, payload), 1);
  EXPECT_EQ(payload, Bytes{0x02});
}

TEST_F(TokenLine, HangUpFailsAtOnce) {
  pty.Write(Bytes{0xC0, 0x05});
  pty.Unplug();
  port.SetTimeouts(2000);
  auto start = steady_clock::now();
  uint8_t buffer[74];
  EXPECT_EQ(port.ReadFrame(buffer, 74), 0);
  EXPECT_EQ(port.WriteFrame(buffer, 2), 0);
  EXPECT_LT(MillisecondsSince(start), 500);
}

}  // namespace
