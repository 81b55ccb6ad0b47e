#include "port_map.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "file_traps.h"
#include "pseudo_terminal.h"

using namespace platform;

TEST(PortMap, ComFileNamesOfBothForms) {
  EXPECT_EQ(ComNumberFromFileName("COM9"), 9u);
  EXPECT_EQ(ComNumberFromFileName("\\\\.\\COM10"), 10u);
  EXPECT_EQ(ComNumberFromFileName("com3"), 3u);
  EXPECT_FALSE(ComNumberFromFileName("COM"));
  EXPECT_FALSE(ComNumberFromFileName("COM1x"));
  EXPECT_FALSE(ComNumberFromFileName("/dev/ttyS0"));
}

TEST(PortMap, ParsesEntriesKindsAndReportsBadLines) {
  auto map = PortMap::Parse(
      "# seals\n"
      "COM7 /dev/pts/9\n"
      "  COM3   /dev/ttyUSB1  serial  # the bench\n"
      "COM20 /dev/ttyACM0 vcp\n"
      "LPT1 /dev/lp0\n"
      "COM8 relative/path\n"
      "COM9 /dev/x wrongkind\n"
      "COM7 /dev/pts/10\n"
      "COM0 /dev/x\n"
      "\n");
  ASSERT_EQ(map.Entries().size(), 3u);
  EXPECT_EQ(map.Entries()[0].number, 3u);  // kept in COM-number order
  EXPECT_EQ(map.Find(7)->device, "/dev/pts/9");
  EXPECT_FALSE(map.Find(7)->virtualPort);
  EXPECT_TRUE(map.Find(20)->virtualPort);
  EXPECT_FALSE(map.Find(8));
  ASSERT_EQ(map.Problems().size(), 5u);
  EXPECT_EQ(map.Problems()[0].rfind("line 5:", 0), 0u);
}

TEST(PortMap, MissingFileGivesDefaultsAndTheVariableMovesTheMap) {
  ::setenv(PortMapVariable, "/nonexistent/zarn-ports", 1);
  auto defaults = PortMap::Load();
  EXPECT_EQ(defaults.Find(1)->device, "/dev/ttyS0");
  EXPECT_EQ(defaults.Find(5)->device, "/dev/ttyUSB0");
  EXPECT_EQ(defaults.Find(10)->device, "/dev/ttyACM0");
  EXPECT_TRUE(defaults.Find(10)->virtualPort);

  sim::PseudoTerminal pty;
  {
    sim::ScopedPortMap scoped({{7, pty.Path(), true}, {8, "/dev/zarn-no-such-device"}});
    EXPECT_EQ(PortMap::FilePath(), scoped.File());
    auto map = PortMap::Load();
    EXPECT_FALSE(map.Find(1));  // a map file replaces the defaults whole
    auto present = map.PresentPorts();
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0].number, 7u);
    EXPECT_TRUE(present[0].virtualPort);
  }
  ::unsetenv(PortMapVariable);
  ::setenv("XDG_CONFIG_HOME", "/tmp/xdg-zarn", 1);
  EXPECT_EQ(PortMap::FilePath(), "/tmp/xdg-zarn/zarn/ports");
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST(PortMap, PseudoTerminalIsNoCdcAcmDevice) {
  sim::PseudoTerminal pty;
  EXPECT_FALSE(IsCdcAcmDevice(pty.Path()));
  EXPECT_FALSE(IsCdcAcmDevice("/dev/zarn-no-such-device"));
}

// A map that is there but cannot be read gives no ports, and says why, at once: a FIFO
// there must not hold up every program that looks at the map, and a huge file is not read.
// The largest map is read.
TEST(PortMap, AMapThatIsNoFileToReadGivesNoPortsAtOnce) {
  char pattern[] = "/tmp/zarn-port-map-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern, huge = dir + "/huge", largest = dir + "/largest";
  sim::Fifo fifo(dir + "/fifo");
  const std::string line = "COM7 /dev/pts/9 serial\n";
  std::ofstream(huge) << line << std::string(MaxPortMapFile - line.size() + 1, '#');
  std::ofstream(largest) << line << std::string(MaxPortMapFile - line.size() - 1, '#') << '\n';
  struct Case {
    std::string path, why;
  } cases[] = {
      {fifo.Path(), "it is no regular file"},
      {dir, "it is no regular file"},
      {huge, "it is larger than 1024 KB"},
      {largest, ""},
  };
  for (const Case& c : cases) {
    ::setenv(PortMapVariable, c.path.c_str(), 1);
    PortMap map;
    EXPECT_TRUE(fifo.ReturnsAtOnce([&] { map = PortMap::Load(); })) << c.path;
    if (c.why.empty()) {
      EXPECT_EQ(map.Entries().size(), 1u) << c.path;
      EXPECT_TRUE(map.Problems().empty()) << c.path;
      continue;
    }
    EXPECT_TRUE(map.Entries().empty()) << c.path;
    EXPECT_EQ(map.Problems(), std::vector<std::string>{"the map file \"" + c.path + "\" cannot be read: " + c.why})
        << c.path;
  }
  ::unsetenv(PortMapVariable);
  std::filesystem::remove_all(dir);
}
