#include "token_sim.h"

#include <gtest/gtest.h>

#include "com_device.h"
#include "port_map.h"

using Bytes = std::vector<uint8_t>;

namespace {

TEST(TokenRack, PortsComeAndGoInTheMap) {
  sim::TokenRack rack;
  std::string first = rack.Plug(7).Path();
  rack.Plug(9, 1234);
  auto ports = platform::PortMap::Load().PresentPorts();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].number, 7u);
  EXPECT_EQ(ports[0].device, first);
  EXPECT_TRUE(ports[1].virtualPort);

  rack.Unplug(7);
  EXPECT_FALSE(platform::PortMap::Load().Find(7));
  EXPECT_FALSE(rack.Token(7)->Plugged());
  std::string again = rack.Plug(7).Path();
  EXPECT_TRUE(rack.Token(7)->Plugged());
  EXPECT_EQ(platform::PortMap::Load().Find(7)->device, again);
}

TEST(TokenSimulator, DecodesStuffedRequestsAndAnswersInFrames) {
  sim::TokenRack rack;
  sim::TokenSimulator& token = rack.Plug(7);
  platform::ComDevice port;
  ASSERT_EQ(port.Open("COM7"), 0);
  platform::CommTimeouts t;
  t.readTotalConstant = 500;
  port.SetTimeouts(t);

  // Command 3 with 32 bytes that hold every control byte; then a frame too long for any request.
  Bytes data(32, 0x00);
  data[0] = 0xC0;
  data[1] = 0xC1;
  data[2] = 0x7D;
  Bytes request{0x03, 0x00};
  request.insert(request.end(), data.begin(), data.end());
  Bytes wire = sim::EncodeTokenFrame(request);
  Bytes tooLong = sim::EncodeTokenFrame(Bytes(75, 0x01));
  wire.insert(wire.begin(), tooLong.begin(), tooLong.end());
  size_t n = 0;
  ASSERT_EQ(port.Write(wire.data(), wire.size(), n), 0);

  uint8_t reply[4];
  ASSERT_EQ(port.Read(reply, 4, n), 0);
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0xC0, 0x00, 0x80, 0xC1}));
  ASSERT_EQ(token.Requests().size(), 1u);
  EXPECT_EQ(token.Requests()[0].command, 3);
  EXPECT_EQ(token.Requests()[0].data, data);
}

}  // namespace
