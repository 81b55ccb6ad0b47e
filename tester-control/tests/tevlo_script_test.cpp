// The control as a script host meets it: registered by its library, created by its
// ProgID from script, driven by name and shown in the host's window.
#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>

#include "activation.h"
#include "registry.h"
#include "script_host.h"
#include "tester_fixture.h"
#include "tevlo_ctrl.h"
#include "variant_script.h"

namespace {

using Entry = HRESULT (*)();

class TevloScriptTest : public TesterFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry_.isValid());
    ::setenv("ZARN_REGISTRY_DIR", registry_.path().toLocal8Bit().constData(), 1);
    library_ = ::dlopen(TEVLO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << ::dlerror();
    ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  }
  void TearDown() override {
    ::unsetenv("ZARN_REGISTRY_DIR");
  }
  HRESULT Call(const char* name) {
    auto entry = reinterpret_cast<Entry>(::dlsym(library_, name));
    return entry ? entry() : E_UNEXPECTED;
  }
  static std::optional<std::string> Value(const std::string& key, const std::string& name = "") {
    platform::Registry r(HKEY_CLASSES_ROOT);
    if (!r.OpenKeyReadOnly(key)) return std::nullopt;
    return r.ReadString(name);
  }
  static bool Exists(const std::string& key) { return platform::Registry(HKEY_CLASSES_ROOT).KeyExists(key); }

  QTemporaryDir registry_;
  void* library_ = nullptr;
};

TEST_F(TevloScriptTest, RegistrationWritesTheClassAndUnregistrationLeavesNothing) {
  const std::string cls = "\\CLSID\\" + CLSID_TevloCtrl.ToString();
  EXPECT_EQ(Value("\\Tevlo.TevloCtrl.1"), "CTevloCtrl Object");
  EXPECT_EQ(Value("\\Tevlo.TevloCtrl.1\\CLSID"), CLSID_TevloCtrl.ToString());
  EXPECT_EQ(Value("\\Tevlo.TevloCtrl\\CLSID"), CLSID_TevloCtrl.ToString());
  EXPECT_EQ(Value("\\Tevlo.TevloCtrl\\CurVer"), "Tevlo.TevloCtrl.1");
  EXPECT_EQ(Value(cls), "CTevloCtrl Object");
  EXPECT_EQ(Value(cls + "\\ProgID"), "Tevlo.TevloCtrl.1");
  EXPECT_EQ(Value(cls + "\\VersionIndependentProgID"), "Tevlo.TevloCtrl");
  EXPECT_EQ(Value(cls + "\\InprocServer32"), std::filesystem::canonical(TEVLO_LIBRARY).string());
  EXPECT_EQ(Value(cls + "\\InprocServer32", "ThreadingModel"), "apartment");
  EXPECT_TRUE(Exists(cls + "\\Control"));
  EXPECT_EQ(Value(cls + "\\MiscStatus"), "0");
  EXPECT_EQ(Value(cls + "\\MiscStatus\\1"), "131473");
  EXPECT_EQ(Value(cls + "\\TypeLib"), LIBID_Tevlo.ToString());
  EXPECT_EQ(Value(cls + "\\Version"), "1.0");
  EXPECT_EQ(Value(cls + "\\ToolboxBitmap32"), std::filesystem::canonical(TEVLO_LIBRARY).string() + ", 102");
  EXPECT_TRUE(Exists(cls + "\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
  EXPECT_TRUE(Exists(cls + "\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));
  EXPECT_TRUE(Exists("\\TypeLib\\" + LIBID_Tevlo.ToString()));
  EXPECT_FALSE(Exists("\\AppID"));

  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  for (const std::string& key : {cls, std::string("\\Tevlo.TevloCtrl.1"), std::string("\\Tevlo.TevloCtrl"),
                                 "\\TypeLib\\" + LIBID_Tevlo.ToString(), "\\Interface\\" + IID_ITevloCtrl.ToString()})
    EXPECT_FALSE(Exists(key)) << key;
  EXPECT_TRUE(Exists("\\CLSID"));
}

TEST_F(TevloScriptTest, TheLibraryHandsOutItsOneClassAndStaysWhileObjectsLive) {
  using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObject>(::dlsym(library_, "DllGetClassObject"));
  ASSERT_NE(get, nullptr);
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(get(IID_IDispatch, IID_IClassFactory, factory.PutVoid()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(Call("DllCanUnloadNow"), S_OK);
  ApartmentScope client;
  ComPtr<IDispatch> control;
  ASSERT_EQ(CoCreateInstance(CLSID_TevloCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.PutVoid()), S_OK);
  EXPECT_EQ(Call("DllCanUnloadNow"), S_FALSE);
  control.Reset();
  EXPECT_EQ(Call("DllCanUnloadNow"), S_OK);
}

TEST_F(TevloScriptTest, ScriptDrivesTheControlByItsProgIdAndTheWindowShowsItsLeds) {
  platform::ScriptHost host;
  QString error;
  ASSERT_TRUE(host.Run(R"(
      var tester = new ActiveXObject("Tevlo.TevloCtrl");
      tester.Comport = 7;
      tester.Reset();
      tester.SB0();
      tester.FQP();
      tester.MEAS();
      var seen = [tester.Comport, tester.Version, tester.Frequency, tester.Pulsewidth, tester.ACh3].join(",");
      var overflow = 0;
      try { tester.Comport = 300; } catch (e) { overflow = e.number; }
      var after = tester.Comport;
    )", "drive.js", &error)) << error.toStdString();
  QJSValue global = host.Engine().globalObject();
  EXPECT_EQ(global.property("seen").toString(), "7,100,1000,50,404");
  EXPECT_EQ(global.property("overflow").toInt(), int(DISP_E_OVERFLOW));
  EXPECT_EQ(global.property("after").toInt(), 7);  // never COM44
  EXPECT_EQ(tester_.Received(), (std::vector<std::string>{"RESET\r", "SB0\r", "FQP\r", "MEAS\r"}));

  ASSERT_EQ(host.Windows().size(), 1u);
  platform::ControlWindow& window = *host.Windows().front();
  EXPECT_GT(window.Repaints(), 0);
  EXPECT_EQ(window.size(), QSize(192, 192));  // two inches at 96 dpi
  window.resize(1519, 250);
  QImage shot = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
  shot.save(BUILD_DIR "/tevlo_host_window.png");
  const QImage lit = LoadTevloPicture(IDB_LED_GREEN_ON).convertToFormat(QImage::Format_RGB32);
  const QImage dark = LoadTevloPicture(IDB_LED_GREEN_OFF).convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shot.pixel(LedBattery, LedCentreY), lit.pixel(17, 17));
  EXPECT_EQ(shot.pixel(LedExtPower, LedCentreY), dark.pixel(17, 17));
}

TEST_F(TevloScriptTest, ScriptErrorsCarryTheirHresult) {
  platform::ScriptHost host;
  QString error;
  ASSERT_TRUE(host.Run(R"(
      var codes = [];
      try { new ActiveXObject("Tevlo.Missing"); } catch (e) { codes.push(e.number); }
      var tester = new ActiveXObject("Tevlo.TevloCtrl");
      try { tester.Comport = 42; } catch (e) { codes.push(e.number); }
      try { tester.SB3(); } catch (e) { codes.push(e.number); }
      try { tester.Delay("soon"); } catch (e) { codes.push(e.number); }
    )", "errors.js", &error)) << error.toStdString();
  const QVariantList codes = host.Engine().globalObject().property("codes").toVariant().toList();
  ASSERT_EQ(codes.size(), 4);
  EXPECT_EQ(codes[0].toInt(), int(REGDB_E_CLASSNOTREG));
  EXPECT_EQ(codes[1].toInt(), int(0x80070002u));
  EXPECT_EQ(codes[2].toInt(), int(E_FAIL));
  EXPECT_EQ(codes[3].toInt(), int(DISP_E_TYPEMISMATCH));

  EXPECT_FALSE(host.Run("undefinedFunction();", "broken.js", &error));
  EXPECT_TRUE(error.startsWith("broken.js:1: ")) << error.toStdString();
}

TEST_F(TevloScriptTest, TheHostProgramRunsAScriptFile) {
  QTemporaryDir dir;
  const QString script = dir.filePath("tester.js"), log = dir.filePath("tester.log");
  {
    std::ofstream out(script.toStdString());
    out << "var t = new ActiveXObject('Tevlo.TevloCtrl');\n"
           "t.Comport = 7;\n"
           "t.Reset();\n"
           "var v = t.Version;\n"
           "t.SB2();\n"
           "t.FQP();\n"
           "t.MEAS();\n"
           "console.log('values ' + [v, t.Frequency, t.Pulsewidth, t.ACh0, t.ACh7].join(' '));\n"
           "t.Comport = 0;\n";
  }
  QProcess host;
  host.setProcessChannelMode(QProcess::MergedChannels);
  host.start(ZARN_SCRIPT_HOST, {script});
  ASSERT_TRUE(host.waitForStarted());
  QByteArray output;
  while (!output.contains("values") && host.waitForReadyRead(5000)) output += host.readAll();
  EXPECT_TRUE(output.contains("values 100 1000 50 101 808")) << output.toStdString();
  EXPECT_EQ(tester_.Received(), (std::vector<std::string>{"RESET\r", "SB2\r", "FQP\r", "MEAS\r"}));
  // The control's window stays until a person closes it.
  EXPECT_EQ(host.state(), QProcess::Running);
  host.terminate();
  host.waitForFinished(3000);
}

}  // namespace
