// zarn as an automation server on a private session bus: registration, start by
// activation when a client creates a class, and the calls of a client in another
// process (this test) against a simulated seal on a pseudo-terminal.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "activation.h"
#include "igroup.h"
#include "registry.h"
#include "registry_format.h"
#include "registry_store.h"
#include "seal_link_sim.h"
#include "seal_test_env.h"
#include "setup_trees.h"
#include "zarn.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t Serial = 31337;
std::string portMapFile;

int RunZarn(const std::string& arguments) { return std::system((std::string(ZARN_PATH) + " " + arguments).c_str()); }

std::string ClassesRoot() {
  platform::reg::Key tree;
  platform::reg::ReadStore(platform::reg::Root::ClassesRoot, tree);
  return platform::reg::Format(tree, platform::reg::FileKind::Store);
}

std::string ActivationFile() { return seal_test::TestWorld::Get().ServiceDirectory() + "/" + ZarnBusName + ".service"; }

bool ZarnRuns() { return QDBusConnection::sessionBus().interface()->isServiceRegistered(ZarnBusName); }

HRESULT Invoke(IDispatch* object, DISPID id, uint16_t flags, std::vector<Variant> args = {},
               Variant* result = nullptr) {
  DISPPARAMS params{std::move(args)};
  return object->Invoke(id, GUID{}, 0, flags, &params, result, nullptr, nullptr);
}

TEST(ZarnServer, RegisterAndUnregisterLeaveExactlyTheirKeysAndActivationFile) {
  ASSERT_EQ(RunZarn("/UNREGSERVER"), 0);
  const std::string before = ClassesRoot();
  ASSERT_EQ(RunZarn("/RegServer"), 0);
  platform::Registry r(HKEY_CLASSES_ROOT);
  struct Case {
    CLSID clsid;
    std::string progId, description;
  };
  for (const Case& c : {Case{CLASS_ZarnReaderSession, "Zarn.ZarnReaderSession", "ZarnReaderSession Object"},
                        Case{CLASS_ZarnReaderSeal, "Zarn.ZarnReaderSeal", "ZarnReaderSeal Object"},
                        Case{CLASS_ZarnReaderSealGroup, "Zarn.ZarnReaderSealGroup", "ZarnReaderSealGroup Object"}}) {
    const std::string key = "\\CLSID\\" + c.clsid.ToString();
    ASSERT_TRUE(r.OpenKeyReadOnly(key)) << c.progId;
    EXPECT_EQ(r.ReadString(""), c.description);
    ASSERT_TRUE(r.OpenKeyReadOnly(key + "\\LocalServer32"));
    EXPECT_EQ(r.ReadString(""), std::string(ZARN_PATH));
    ASSERT_TRUE(r.OpenKeyReadOnly("\\" + c.progId + "\\CurVer"));
    EXPECT_EQ(r.ReadString(""), c.progId + ".1");
    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(c.progId + ".1", &found), S_OK);
    EXPECT_EQ(found, c.clsid);
  }
  EXPECT_TRUE(r.KeyExists("\\TypeLib\\" + LIBID_Zarn.ToString() + "\\1.0"));
  std::ifstream service(ActivationFile());
  const std::string text((std::istreambuf_iterator<char>(service)), {});
  EXPECT_NE(text.find("Name=" + std::string(ZarnBusName)), std::string::npos) << text;
  EXPECT_NE(text.find("Exec=\"" + std::string(ZARN_PATH) + "\" /Automation"), std::string::npos) << text;
  EXPECT_FALSE(ZarnRuns());  // registering starts no window

  ASSERT_EQ(RunZarn("-unregserver"), 0);
  EXPECT_EQ(ClassesRoot(), before);
  EXPECT_FALSE(fs::exists(ActivationFile()));
}

TEST(ZarnServer, AClientStartsZarnByItsProgIdAndFindsASealOnCom1) {
  sim::SealLinkSimulator link;
  sim::SimulatedSeal seal(Serial, 3);
  seal.Attach(link);
  // The world's port map (its tokens' ports) is what the bus hands the zarn it starts.
  std::ofstream(portMapFile, std::ios::app) << "COM1 " << link.ServePty() << "\n";
  seal_test::FreshDatabase();
  seal_test::StoreInDatabase(seal.Keyset());
  {
    platform::Registry settings;
    settings.DeleteKey(std::string("\\") + SettingsKeyPath);
    ASSERT_TRUE(settings.OpenKey(std::string("\\") + SettingsKeyPath, true));
    ASSERT_TRUE(settings.WriteBool("ShowDialog", false));
    ASSERT_TRUE(settings.WriteString("Operator1", "JS"));
  }
  ASSERT_EQ(RunZarn("/RegServer"), 0);
  ASSERT_FALSE(ZarnRuns());

  ComPtr<IDispatch> session;
  ASSERT_EQ(CoCreateInstance("Zarn.ZarnReaderSession", nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                             session.PutVoid()),
            S_OK);
  EXPECT_TRUE(ZarnRuns());
  Variant value;
  ASSERT_EQ(Invoke(session.Get(), 5, DISPATCH_PROPERTYGET, {}, &value), S_OK);  // Operator1
  EXPECT_EQ(value.String().Utf8(), "JS");
  DISPID find = 0;
  ASSERT_EQ(session->GetIDsOfNames(GUID{}, {"find"}, 0, &find), S_OK);
  EXPECT_EQ(find, 17);
  ASSERT_EQ(Invoke(session.Get(), find, DISPATCH_METHOD, {Variant(Bstr::FromUtf8("COM1"))}), S_OK);
  EXPECT_FALSE(link.Requests().empty());

  // An outside session starts without the window's group; objects of its own come back as they went.
  ASSERT_EQ(Invoke(session.Get(), 7, DISPATCH_PROPERTYGET, {}, &value), S_OK);  // Group
  EXPECT_FALSE(value.Dispatch());
  ComPtr<TZarnReaderSealGroup> mine = TZarnReaderSealGroup::Create();
  ComPtr<IDispatch> own(static_cast<IDispatch*>(mine.Get()));
  ASSERT_EQ(Invoke(session.Get(), 3, DISPATCH_METHOD, {Variant(Bstr::FromUtf8("mine")), Variant(own)}), S_OK);
  ASSERT_EQ(Invoke(session.Get(), 4, DISPATCH_METHOD, {Variant(Bstr::FromUtf8("MINE"))}, &value), S_OK);
  EXPECT_EQ(value.Dispatch().Get(), own.Get());
  value = Variant();

  // A seal object made by a client has no seal: it answers as a removed one.
  ComPtr<IDispatch> outsideSeal;
  ASSERT_EQ(CoCreateInstance("Zarn.ZarnReaderSeal", nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                             outsideSeal.PutVoid()),
            S_OK);
  EXPECT_EQ(Invoke(outsideSeal.Get(), 5, DISPATCH_METHOD), E_FAIL);  // GetStatus
  ASSERT_EQ(Invoke(outsideSeal.Get(), 22, DISPATCH_PROPERTYGET, {}, &value), S_OK);  // Error
  EXPECT_EQ(value.String().Utf8(), "The seal has been removed from the setup.");
  EXPECT_TRUE(FAILED(Invoke(outsideSeal.Get(), 28, DISPATCH_PROPERTYGET, {}, &value)));  // NativeObject
  outsideSeal.Reset();

  // A second session of another client; releasing the first releases what its store held.
  ComPtr<IDispatch> second;
  ASSERT_EQ(CoCreateInstance("Zarn.ZarnReaderSession", nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                             second.PutVoid()),
            S_OK);
  ASSERT_EQ(Invoke(second.Get(), 4, DISPATCH_METHOD, {Variant(Bstr::FromUtf8("mine"))}, &value), S_OK);
  EXPECT_EQ(value.Type(), VT_EMPTY);
  own.Reset();
  session.Reset();
  EXPECT_TRUE(QTest::qWaitFor([&] {
    mine->AddRef();
    return mine->Release() == 1;
  }, 5000));

  // Closing through the session: the setup the window saves holds the seal found on COM1.
  ASSERT_EQ(Invoke(second.Get(), 19, DISPATCH_METHOD), S_OK);  // Silent
  ASSERT_EQ(Invoke(second.Get(), 11, DISPATCH_METHOD), S_OK);  // Close
  second.Reset();
  EXPECT_TRUE(QTest::qWaitFor([] { return !ZarnRuns(); }, 10000));
  platform::Registry setup;
  ASSERT_TRUE(setup.OpenKeyReadOnly(std::string("\\") + SettingsKeyPath + "\\Setup\\COM1"));
  EXPECT_EQ(setup.ReadInteger("Seal1").value_or(0), int32_t(Serial));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  seal_test::TestWorld world;
  portMapFile = std::getenv("ZARN_PORT_MAP");
  QApplication app(argc, argv);
  CoInitialize();
  int result = RUN_ALL_TESTS();
  CoUninitialize();
  world.EndService();
  return result;
}
