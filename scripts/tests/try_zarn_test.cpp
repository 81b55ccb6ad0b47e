// scripts/try-zarn run for real on the offscreen platform: while its reader runs, a client
// on the world's bus finds the reader and logs on to each seal of the world's setup and
// reads it out; closing the reader, or an interrupt, ends every program the world started
// and removes its folder. With --xvfb (under xvfb-run) the reader is drawn on the virtual
// display and a screenshot of it is saved for a person to look at.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "activation.h"
#include "brisel.h"
#include "port.h"
#include "registry.h"
#include "seal.h"
#include "token.h"
#include "try_zarn_world.h"
#include "zarn.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* SetupKey = "\\Software\\Halvec\\ZARN\\2.0\\Setup";
constexpr uint32_t PortTimeout = 1000;
bool underXvfb = false;

bool ZarnServes(const QDBusConnection& bus) {
  return QTest::qWaitFor([&] { return bus.interface()->isServiceRegistered(ZarnBusName); }, 30000);
}

HRESULT Call(IDispatch* object, const std::string& name, uint16_t flags, Variant* result = nullptr) {
  DISPID id = DISPID_UNKNOWN;
  if (HRESULT hr = object->GetIDsOfNames(GUID{}, {name}, 0, &id); FAILED(hr)) return hr;
  DISPPARAMS params{};
  return object->Invoke(id, GUID{}, 0, flags, &params, result, nullptr, nullptr);
}

struct SetupPort {
  std::string name;     // "COM1", or the network interface's address
  std::vector<uint32_t> seals;
};

// The ports and seals of the reader's setup as the world's registry holds them.
std::vector<SetupPort> ReadSetup() {
  std::vector<SetupPort> ports;
  platform::Registry registry;
  auto seals = [&] {
    std::vector<uint32_t> found;
    for (int k = 1; auto serial = registry.ReadInteger("Seal" + std::to_string(k)); ++k)
      found.push_back(uint32_t(*serial));
    return found;
  };
  if (registry.OpenKeyReadOnly(std::string(SetupKey) + "\\COM1")) ports.push_back({"COM1", seals()});
  for (int i = 1; registry.OpenKeyReadOnly(std::string(SetupKey) + "\\Interface" + std::to_string(i)); ++i)
    ports.push_back({registry.ReadString("Address").value_or(""), seals()});
  return ports;
}

std::unique_ptr<TPort> PortOf(const SetupPort& port) {
  if (port.name == "COM1") return std::make_unique<TSerialPort>(1, PortTimeout);
  return std::make_unique<TEthernetPort>(port.name, PortTimeout);
}

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

struct ReadOut {
  SealErrorCode result = 0;
  bool mode16 = false;
  uint32_t sealEvents = 0;
  std::vector<std::string> pages;  // each seal-event page's authenticity
};

// Logs on to the seal, reads its log info and every page of its seal events, logs off.
ReadOut LogOnAndReadOut(const SetupPort& where, uint32_t serial) {
  ReadOut out;
  auto port = PortOf(where);
  if ((out.result = port->Open({}, {})) != 0) return out;
  TSeal seal(serial);
  TCryptoToken token;
  uint8_t info[LogInfoSize];
  if ((out.result = seal.Initialize(*port)) == 0 && (out.result = seal.Logon(*port, token, 0x1234, 0x0042)) == 0 &&
      (out.result = seal.GetLogInfo(*port, token, info)) == 0) {
    out.mode16 = seal.Snapshot().mode16;
    out.sealEvents = Get32(info);
    // Seal events lie on the pages from the lowest to the current one.
    for (unsigned page = info[4]; page <= info[7] && out.result == 0; ++page) {
      uint8_t raw[LogPageSize], plain[LogPageSize];
      std::string authenticity;
      out.result = seal.ReadLogPage(*port, token, uint8_t(page), raw, plain, authenticity);
      out.pages.push_back(authenticity);
    }
    if (out.result == 0) out.result = seal.Logoff(*port, token);
  }
  port->Close();
  return out;
}

TEST(TryZarn, ItsSealsAreLoggedOnToAndReadOutWhileTheReaderRunsAndClosingEndsTheWorld) {
  TryZarn script;
  ASSERT_TRUE(script.Started()) << script.Output().toStdString();
  ASSERT_TRUE(fs::is_directory(script.World()));
  script.EnterWorld();
  QDBusConnection bus = QDBusConnection::sessionBus();
  ASSERT_TRUE(bus.isConnected());
  ASSERT_TRUE(ZarnServes(bus));

  // The reader of the world by its ProgID: the setup's operators reached it.
  ComPtr<IDispatch> session;
  ASSERT_EQ(CoCreateInstance("Zarn.ZarnReaderSession", nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                             session.PutVoid()),
            S_OK);
  Variant operator1;
  ASSERT_EQ(Call(session.Get(), "Operator1", DISPATCH_PROPERTYGET, &operator1), S_OK);
  EXPECT_EQ(operator1.String().Utf8(), "JS");

  // Each seal of the setup, on the pseudo-terminal and on the network interface, in both block modes.
  const std::vector<SetupPort> setup = ReadSetup();
  ASSERT_EQ(setup.size(), 2u);
  EXPECT_EQ(setup[0].name, "COM1");
  for (const SetupPort& port : setup) {
    ASSERT_EQ(port.seals.size(), 2u) << port.name;
    std::set<bool> modes;
    for (uint32_t serial : port.seals) {
      const ReadOut read = LogOnAndReadOut(port, serial);
      EXPECT_EQ(read.result, 0) << port.name << " seal " << serial;
      EXPECT_EQ(read.sealEvents, 30u) << serial;
      EXPECT_EQ(read.pages, std::vector<std::string>(3, AuthenticText)) << serial;
      modes.insert(read.mode16);
    }
    EXPECT_EQ(modes, (std::set<bool>{false, true})) << port.name;
  }

  if (underXvfb) {
    QTest::qWait(2000);  // the window's first paint
    const std::string shot = std::string(BUILD_DIR) + "/try_zarn.png";
    EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromStdString(shot)));
  }

  // Without its key-set in the key database a seal cannot be logged on to.
  const uint32_t bare = setup[1].seals[0];
  const std::string forget = "echo 'DELETE FROM \"Keys\" WHERE \"SealID\" IN (SELECT \"SealID\" FROM \"Seals\" WHERE "
                             "\"SerialNumber\" = " + std::to_string(bare) + ")' | isql -b ZarnKeys >/dev/null";
  ASSERT_EQ(std::system(forget.c_str()), 0);
  EXPECT_NE(LogOnAndReadOut(setup[1], bare).result, 0);

  // Closing the reader ends the simulators, the bus and the crypto service it started.
  const uint brisel = bus.interface()->servicePid(BriselBusName);
  ASSERT_NE(brisel, 0u);
  const std::set<pid_t> world = script.Programs(pid_t(brisel));
  EXPECT_GE(world.size(), 6u);  // the script, two simulators, the bus, zarn, brisel
  EXPECT_EQ(Call(session.Get(), "Silent", DISPATCH_METHOD), S_OK);
  EXPECT_EQ(Call(session.Get(), "Close", DISPATCH_METHOD), S_OK);
  session.Reset();
  int exitCode = -1;
  ASSERT_TRUE(script.Finished(exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(fs::exists(script.World()));
  EXPECT_TRUE(AllEnded(world));
}

TEST(TryZarn, AnInterruptEndsTheReaderAndTheWorld) {
  TryZarn script;
  ASSERT_TRUE(script.Started()) << script.Output().toStdString();
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(script.BusAddress()), "world");
  ASSERT_TRUE(bus.isConnected());
  ASSERT_TRUE(ZarnServes(bus));
  const std::set<pid_t> world = script.Programs();
  bus = QDBusConnection("");
  QDBusConnection::disconnectFromBus("world");

  ASSERT_EQ(::kill(script.Pid(), SIGINT), 0);
  int exitCode = -1;
  ASSERT_TRUE(script.Finished(exitCode));
  EXPECT_EQ(exitCode, 130);
  EXPECT_FALSE(fs::exists(script.World()));
  EXPECT_TRUE(AllEnded(world));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) underXvfb |= std::string(argv[i]) == "--xvfb";
  if (!underXvfb) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  CoInitialize();
  return RUN_ALL_TESTS();
}
