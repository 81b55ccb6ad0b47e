#include "port.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "seal_link_sim.h"

using namespace std::chrono;
using sim::FaultSpec;
using sim::LinkFault;

namespace {

constexpr uint32_t TestTimeout = 200;
constexpr uint32_t Seal = 1;

std::vector<uint8_t> Payload(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = uint8_t(first + i);
  return p;
}

long long MillisecondsSince(steady_clock::time_point start) {
  return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

struct Received {
  SealErrorCode code;
  uint32_t sender;
  std::vector<uint8_t> payload;
};

Received Receive(TPort& port, uint32_t expected) {
  uint8_t buffer[MaxFramePayload];
  uint16_t n = 0;
  uint32_t sender = expected;
  SealErrorCode code = port.ReceiveFrame(sender, buffer, n);
  return {code, sender, code ? std::vector<uint8_t>{} : std::vector<uint8_t>(buffer, buffer + n)};
}

// A seal behind a serial port on a pseudo-terminal mapped as COM7.
struct SerialLink : ::testing::Test {
  sim::SealLinkSimulator seal;
  std::string path = seal.ServePty();
  sim::ScopedPortMap map{{{7, path}, {10, path}}};
  TSerialPort port{7, TestTimeout};
  int sent = 0, received = 0;

  void SetUp() override {
    seal.AddSeal(Seal);
    ASSERT_EQ(port.Open([this](TPort*) { ++sent; }, [this](TPort*) { ++received; }), 0);
  }

  // Puts raw bytes on the line as if a seal had sent them.
  void Inject(const std::vector<uint8_t>& wire) { seal.Pty().Write(wire); }
};

// A seal behind a network interface on a loopback address of the test's own.
struct EthernetLink : ::testing::Test {
  sim::SealLinkSimulator seal;
  std::string address = seal.ServeTcpOnFreeAddress();
  TEthernetPort port{address, TestTimeout};

  void SetUp() override {
    seal.AddSeal(Seal);
    ASSERT_EQ(port.Open({}, {}), 0);
  }

  Received Exchange(const std::vector<uint8_t>& payload) {
    EXPECT_EQ(port.Purge(), 0);
    EXPECT_EQ(port.SendFrame(Seal, payload.data(), uint16_t(payload.size())), 0);
    return Receive(port, Seal);
  }
};

}  // namespace

TEST_F(SerialLink, EmptyPayloadGoldenBytes) {
  seal.Stop();  // read the line ourselves
  ASSERT_EQ(port.SendFrame(1, nullptr, 0), 0);
  std::vector<uint8_t> wire = seal.Pty().ReadUntilQuiet(milliseconds(100));
  EXPECT_EQ(wire, (std::vector<uint8_t>{0xC0, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0C, 0x00, 0xF8,
                                        0xA0, 0xC1}));
  EXPECT_EQ(sent, 1);
}

TEST_F(SerialLink, ControlBytesAreEscapedFlagsNever) {
  seal.Stop();
  const uint8_t payload[] = {0x7D, 0xC0, 0xC1, 0x20};
  ASSERT_EQ(port.SendFrame(0x00C0C17D, payload, 4), 0);
  std::vector<uint8_t> wire = seal.Pty().ReadUntilQuiet(milliseconds(100));
  std::vector<uint8_t> head(wire.begin(), wire.begin() + 7);
  // The receiver 0x00C0C17D goes out low byte first.
  EXPECT_EQ(head, (std::vector<uint8_t>{0xC0, 0x7D, 0x5D, 0x7D, 0xE1, 0x7D, 0xE0}));
  std::vector<uint8_t> payloadOnWire(wire.begin() + 14, wire.begin() + 21);
  EXPECT_EQ(payloadOnWire, (std::vector<uint8_t>{0x7D, 0x5D, 0x7D, 0xE0, 0x7D, 0xE1, 0x20}));
  EXPECT_EQ(wire.back(), 0xC1);
  EXPECT_EQ(std::count(wire.begin(), wire.end(), 0xC0), 1);
}

TEST_F(SerialLink, FullPayloadRoundTripWithEveryByteValue) {
  for (uint8_t first : {0x00, 0x70, 0xB8}) {
    auto payload = Payload(MaxFramePayload, first);
    ASSERT_EQ(port.Purge(), 0);
    ASSERT_EQ(port.SendFrame(Seal, payload.data(), MaxFramePayload), 0);
    auto r = Receive(port, 0);
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.sender, Seal);
    EXPECT_EQ(r.payload, payload);
  }
  EXPECT_EQ(sent, 3);
  EXPECT_EQ(received, 3);
  auto requests = seal.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(requests[0].crcOk);
  EXPECT_EQ(requests[0].sender, ReaderAddress);

  // One byte more does not fit the frame: refused, nothing sent.
  auto tooLong = Payload(MaxFramePayload + 40);
  for (uint16_t n : {uint16_t(MaxFramePayload + 1), uint16_t(MaxFramePayload + 40)})
    EXPECT_EQ(port.SendFrame(Seal, tooLong.data(), n), SealError::InvalidSize) << n;
  EXPECT_EQ(sent, 3);
  EXPECT_FALSE(seal.WaitForRequests(4, milliseconds(100)));
}

TEST_F(SerialLink, ReceiveChecksInOrder) {
  auto body = [](uint32_t receiver, uint32_t sender, size_t n) {
    return sim::MakeSealFrameBody(receiver, sender, Payload(n, 0x40));
  };
  auto withLength = [](std::vector<uint8_t> b, uint16_t length) {
    b[8] = uint8_t(length);
    b[9] = uint8_t(length >> 8);
    uint16_t crc = sim::Crc16Xmodem(b.data(), std::min<size_t>(length, b.size()) - 2);
    if (length <= b.size()) {
      b[length - 2] = uint8_t(crc);
      b[length - 1] = uint8_t(crc >> 8);
    }
    return b;
  };
  auto wrongCrc = body(ReaderAddress, Seal, 5);
  wrongCrc.back() ^= 0x80;
  auto extra = body(ReaderAddress, Seal, 5);
  extra.push_back(0x99);  // stored beyond L
  std::vector<uint8_t> restart = {0xC0, 0x11, 0x22};
  auto good = sim::EncodeSealFrame(body(ReaderAddress, Seal, 3));
  restart.insert(restart.end(), good.begin(), good.end());
  std::vector<uint8_t> garbage = {0x00, 0xC1, 0x7D, 0x55};
  garbage.insert(garbage.end(), good.begin(), good.end());

  struct Case {
    const char* what;
    std::vector<uint8_t> wire;
    uint32_t expected;
    SealErrorCode code;
    size_t payload;
  } cases[] = {
      {"good", sim::EncodeSealFrame(body(ReaderAddress, Seal, 3)), Seal, 0, 3},
      {"150 body bytes", sim::EncodeSealFrame(body(ReaderAddress, Seal, 138)), Seal, 0, 138},
      {"bytes beyond L ignored", sim::EncodeSealFrame(extra), Seal, 0, 5},
      {"garbage before the frame", garbage, Seal, 0, 3},
      {"restart inside a frame", restart, Seal, 0, 3},
      {"any sender with 0", sim::EncodeSealFrame(body(ReaderAddress, 4711, 2)), 0, 0, 2},
      {"151 body bytes", sim::EncodeSealFrame(Payload(151)), Seal, SealError::FrameOverflow, 0},
      {"11 body bytes", sim::EncodeSealFrame(Payload(11)), Seal, SealError::InvalidSize, 0},
      {"L below 12", sim::EncodeSealFrame(withLength(body(ReaderAddress, Seal, 4), 11)), Seal, SealError::InvalidSize, 0},
      {"L above 150", sim::EncodeSealFrame(withLength(body(ReaderAddress, Seal, 4), 151)), Seal, SealError::InvalidSize, 0},
      {"L over what was stored", sim::EncodeSealFrame(withLength(body(ReaderAddress, Seal, 4), 20)), Seal, SealError::CrcError, 0},
      {"wrong CRC", sim::EncodeSealFrame(wrongCrc), Seal, SealError::CrcError, 0},
      {"wrong sender", sim::EncodeSealFrame(body(ReaderAddress, 2, 2)), Seal, SealError::WrongSender, 0},
      {"wrong receiver", sim::EncodeSealFrame(body(0x12345678, Seal, 2)), Seal, SealError::WrongReceiver, 0},
  };
  for (auto& c : cases) {
    ASSERT_EQ(port.Purge(), 0);
    int before = received;
    Inject(c.wire);
    auto r = Receive(port, c.expected);
    EXPECT_EQ(r.code, c.code) << c.what;
    EXPECT_EQ(r.payload.size(), c.payload) << c.what;
    // A failed check leaves the expected sender as it was.
    EXPECT_EQ(r.sender, c.code ? c.expected : (c.expected ? c.expected : 4711u)) << c.what;
    EXPECT_EQ(received, before + (c.code ? 0 : 1)) << c.what;
  }
}

TEST_F(SerialLink, SilenceTrickleAndBabble) {
  const uint8_t ping[] = {'P', 0};
  auto start = steady_clock::now();
  EXPECT_EQ(Receive(port, Seal).code, SealError::ReceiveTimeout);
  EXPECT_GE(MillisecondsSince(start), TestTimeout - 5);

  seal.InjectFault({LinkFault::Trickle, 5});
  ASSERT_EQ(port.SendFrame(Seal, ping, 2), 0);
  EXPECT_EQ(Receive(port, Seal).code, 0);

  // A line that keeps talking without ever completing a frame ends the receive in bounded time.
  seal.InjectFault({LinkFault::Babble, 20});
  ASSERT_EQ(port.SendFrame(Seal, ping, 2), 0);
  start = steady_clock::now();
  EXPECT_EQ(Receive(port, Seal).code, SealError::ReceiveTimeout);
  EXPECT_LT(MillisecondsSince(start), 4 * TestTimeout);
}

TEST_F(SerialLink, HangUpFailsAtOnceAndTheLinkStaysClosable) {
  const uint8_t ping[] = {'P', 0};
  seal.InjectFault({LinkFault::CloseConnection});
  ASSERT_EQ(port.SendFrame(Seal, ping, 2), 0);
  auto start = steady_clock::now();
  EXPECT_EQ(Receive(port, Seal).code, SealError::ReceiveError);
  EXPECT_LT(MillisecondsSince(start), TestTimeout);
  EXPECT_EQ(port.SendFrame(Seal, ping, 2), SealError::TransmitError);
  EXPECT_EQ(port.Close(), 0);
  EXPECT_EQ(port.Close(), 0);
  EXPECT_EQ(port.Open({}, {}), SealError::OpenComport);  // the device is gone
}

TEST_F(SerialLink, HeldPortAndReopen) {
  TSerialPort other(7, TestTimeout);
  EXPECT_EQ(other.Open({}, {}), SealError::OpenComport);
  ASSERT_EQ(port.Close(), 0);
  ASSERT_EQ(other.Open({}, {}), 0);
  const uint8_t ping[] = {'P', 0};
  ASSERT_EQ(other.SendFrame(Seal, ping, 2), 0);
  EXPECT_EQ(Receive(other, Seal).code, 0);
}

TEST_F(SerialLink, TheLineIs9600EightBitsOneStopBitNoParity) {
  const auto line = seal.Pty().LineSettings();
  EXPECT_EQ(line.baudRate, 9600u);
  EXPECT_EQ(line.dataBits, 8);
  EXPECT_EQ(line.stopBits, 1);
  EXPECT_FALSE(line.parity);
}

// Modem control lines need a real UART; a machine without one skips this.
TEST(SerialPort, DtrAndRtsAreLowered) {
  sim::ScopedPortMap map{{{3, "/dev/ttyS0"}}};
  platform::ComDevice device;
  if (device.Open("COM3") != 0) GTEST_SKIP() << "no serial port /dev/ttyS0 to use";
  device.Close();
  ASSERT_EQ(OpenComPort(3, 9600, TestTimeout, device), 0);
  platform::LineSettings line;
  ASSERT_EQ(device.GetLineSettings(line), 0);
  EXPECT_FALSE(line.dtr);
  EXPECT_FALSE(line.rts);
}

TEST_F(SerialLink, PortsFromTenOnUseTheLongName) {
  EXPECT_EQ(ComPortFileName(9), "COM9");
  EXPECT_EQ(ComPortFileName(10), "\\\\.\\COM10");
  ASSERT_EQ(port.Close(), 0);
  TSerialPort ten(10, TestTimeout);
  EXPECT_EQ(ten.Open({}, {}), 0);
}

TEST(SerialPort, UnmappedPortGivesOpenFailedAfterFiveTries) {
  sim::ScopedPortMap map{{}};
  TSerialPort port(3, TestTimeout);
  auto start = steady_clock::now();
  EXPECT_EQ(port.Open({}, {}), SealError::OpenComport);
  EXPECT_GE(MillisecondsSince(start), 1000);
  EXPECT_EQ(ErrorMessage(SealError::OpenComport, 0), "Open comport failed.");
}

TEST_F(EthernetLink, ExchangesFrames) {
  for (size_t n : {size_t(0), size_t(2), size_t(MaxFramePayload)}) {
    auto r = Exchange(Payload(n, 0xBF));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.payload, Payload(n, 0xBF));
  }
  EXPECT_EQ(seal.Connections(), 1);
}

TEST_F(EthernetLink, ReceiveTimeoutIsASocketError) {
  seal.InjectFault({LinkFault::Silence});
  auto r = Exchange(Payload(2));
  EXPECT_EQ(r.code, SealError::SocketError);
  EXPECT_NE(r.code, SealError::ReceiveTimeout);
}

TEST_F(EthernetLink, PurgeDropsALateReplyToAnEarlierRequest) {
  seal.InjectFault({LinkFault::LateDuplicate, 50});
  EXPECT_EQ(Exchange(Payload(2, 0x10)).payload, Payload(2, 0x10));
  std::this_thread::sleep_for(milliseconds(150));  // the duplicate has arrived
  EXPECT_EQ(Exchange(Payload(2, 0x20)).payload, Payload(2, 0x20));

  seal.InjectFault({LinkFault::Late, TestTimeout + 100});
  EXPECT_EQ(Exchange(Payload(2, 0x30)).code, SealError::SocketError);
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(Exchange(Payload(2, 0x40)).payload, Payload(2, 0x40));
}

TEST_F(EthernetLink, PeerClosingOrResetting) {
  seal.InjectFault({LinkFault::CloseConnection});
  EXPECT_EQ(Exchange(Payload(2)).code, SealError::ConnectionLost);
  EXPECT_EQ(port.Close(), 0);

  ASSERT_EQ(port.Open({}, {}), 0);
  seal.InjectFault({LinkFault::ResetConnection});
  EXPECT_EQ(Exchange(Payload(2)).code, SealError::SocketError);
  // Sending on a reset connection fails instead of ending the program.
  const uint8_t ping[] = {'P', 0};
  EXPECT_EQ(port.SendFrame(Seal, ping, 2), SealError::SocketError);
  EXPECT_EQ(port.Close(), 0);
  EXPECT_EQ(port.Close(), 0);
}

TEST_F(EthernetLink, FaultsOnTheWire) {
  struct Case {
    FaultSpec fault;
    SealErrorCode code;
  } cases[] = {
      {{LinkFault::WrongCrc}, SealError::CrcError},
      {{LinkFault::WrongLength, 3}, SealError::CrcError},
      {{LinkFault::OversizeBody}, SealError::FrameOverflow},
      {{LinkFault::ForeignSender, 99}, SealError::WrongSender},
      {{LinkFault::ForeignReceiver, 0}, SealError::WrongReceiver},
      {{LinkFault::GarbageBefore, 40}, 0},
      {{LinkFault::RestartInside}, 0},
      {{LinkFault::Trickle, 1}, 0},
  };
  for (auto& c : cases) {
    seal.InjectFault(c.fault);
    EXPECT_EQ(Exchange(Payload(4)).code, c.code) << int(c.fault.fault);
  }
}

TEST(EthernetPort, RefusedAndBadAddresses) {
  sim::SealLinkSimulator seal;
  std::string address = seal.ServeTcpOnFreeAddress();
  seal.Stop();  // nobody listens there any more
  for (const std::string& where : {address, std::string("not an address"), std::string("256.1.1.1")}) {
    TEthernetPort port(where, TestTimeout);
    EXPECT_EQ(port.Open({}, {}), SealError::SocketError) << where;
  }
}

TEST(EthernetPort, ConnectGivesUpAfterTheTimeout) {
  // A listener whose backlog is full lets new connection attempts hang.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(SealTcpPort);
  ::inet_pton(AF_INET, "127.63.250.1", &a.sin_addr);
  int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<std::unique_ptr<TEthernetPort>> fillers;
  auto start = steady_clock::now();
  SealErrorCode last = 0;
  for (int i = 0; i < 8 && last == 0; ++i) {
    fillers.push_back(std::make_unique<TEthernetPort>("127.63.250.1", TestTimeout));
    start = steady_clock::now();
    last = fillers.back()->Open({}, {});
  }
  EXPECT_EQ(last, SealError::SocketError);
  EXPECT_LT(MillisecondsSince(start), 3 * TestTimeout);
  ::close(listener);
}
