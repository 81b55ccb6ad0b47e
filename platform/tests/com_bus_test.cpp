#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QProcessEnvironment>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <csignal>
#include <filesystem>
#include <cstdio>
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "activation.h"
#include "com_test_calc.h"
#include "com_test_variants.h"
#include "dbus_marshal.h"
#include "local_client.h"
#include "object_broker.h"
#include "private_bus.h"

using namespace platform::dbus;
using namespace std::chrono;

namespace {

ComPtr<ITestCalc> Create() {
  ComPtr<ITestCalc> calc;
  EXPECT_EQ(CreateLocalInstance(TestBusName, CLSID_TestCalc, IID_ITestCalc, calc.PutVoid()), S_OK);
  return calc;
}

int32_t LiveObjects(ITestCalc* calc) {
  int32_t n = -1;
  EXPECT_EQ(calc->get_LiveObjects(&n), S_OK);
  return n;
}

// Waits until the server's count of live objects reaches the value.
bool WaitForLive(ITestCalc* calc, int32_t expected) {
  for (int i = 0; i < 200; ++i) {
    if (LiveObjects(calc) == expected) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

struct ServerProcess {
  // Ends the activated server and waits until its name is free again.
  static void End(ITestCalc* calc) {
    int32_t pid = 0;
    if (!calc || calc->get_Pid(&pid) != S_OK || pid <= 0) return;
    ::kill(pid, SIGTERM);
    auto* bus = QDBusConnection::sessionBus().interface();
    for (int i = 0; i < 500 && bus->isServiceRegistered(TestBusName); ++i) std::this_thread::sleep_for(milliseconds(5));
  }
};

}  // namespace

TEST(ComBus, ActivationStartsTheServerAndCallsCarryTheirTypes) {
  ComPtr<ITestCalc> calc = Create();
  ASSERT_TRUE(calc);
  int32_t pid = 0;
  ASSERT_EQ(calc->get_Pid(&pid), S_OK);
  EXPECT_NE(pid, ::getpid());

  int32_t sum = 0;
  EXPECT_EQ(calc->Add(40, 2, &sum), S_OK);
  EXPECT_EQ(sum, 42);

  // Byte strings keep every byte and an odd length.
  const uint8_t raw[] = {0x00, 0xFF, 0x80, 0x7F, 0x00};
  Bstr bytes = Bstr::FromBytes(raw, 5);
  EXPECT_EQ(calc->Reverse(&bytes), S_OK);
  ASSERT_EQ(bytes.ByteLength(), 5u);
  EXPECT_EQ(bytes.ByteString(), std::string("\x00\x7F\x80\xFF\x00", 5));

  // Text keeps every code unit, byte-order marks at its start too.
  for (std::u16string text : {std::u16string(u"Zürich ✓"), std::u16string(u"\uFEFFab"), std::u16string(u"\uFFFEab")}) {
    EXPECT_EQ(calc->put_Name(Bstr::FromText(text)), S_OK);
    Bstr name;
    EXPECT_EQ(calc->get_Name(&name), S_OK);
    EXPECT_TRUE(name.Text() == text);
  }

  EXPECT_EQ(calc->Fail(), E_FAIL);
  ServerProcess::End(calc.Get());
}

TEST(ComBus, LateBindingByNameAndArgumentChecks) {
  ComPtr<ITestCalc> calc = Create();
  ASSERT_TRUE(calc);
  DISPID ids[3];
  EXPECT_EQ(calc->GetIDsOfNames(IID_IDispatch, {"add", "A", "b"}, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 0);
  EXPECT_EQ(ids[2], 1);
  EXPECT_EQ(calc->GetIDsOfNames(IID_IDispatch, {"Multiply"}, 0, ids), DISP_E_UNKNOWNNAME);

  // Script passes text where numbers are declared: it is coerced.
  DISPPARAMS params{{Variant(Bstr::FromUtf8("20")), Variant(int32_t(22))}};
  Variant result;
  EXPECT_EQ(calc->Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.Integer(), 42);
  DISPPARAMS bad{{Variant(Bstr::FromUtf8("twenty")), Variant(int32_t(22))}};
  uint32_t argError = 99;
  EXPECT_EQ(calc->Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &bad, &result, nullptr, &argError), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argError, 0u);
  DISPPARAMS one{{Variant(int32_t(1))}};
  EXPECT_EQ(calc->Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &one, &result, nullptr, nullptr), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(calc->Invoke(99, IID_IDispatch, 0, DISPATCH_METHOD, &one, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  ServerProcess::End(calc.Get());
}

TEST(ComBus, ObjectReferencesAndReleases) {
  ComPtr<ITestCalc> calc = Create();
  ASSERT_TRUE(calc);
  EXPECT_EQ(LiveObjects(calc.Get()), 1);
  {
    ComPtr<IDispatch> child;
    ASSERT_EQ(calc->get_Child(child.Put()), S_OK);
    ASSERT_TRUE(child);
    ComPtr<ITestCalc> typed;
    ASSERT_EQ(child.As(IID_ITestCalc, typed), S_OK);
    int32_t sum = 0;
    EXPECT_EQ(typed->Add(1, 2, &sum), S_OK);
    EXPECT_EQ(sum, 3);
    ComPtr<ITestCalc> second = Create();
    EXPECT_EQ(LiveObjects(calc.Get()), 3);
  }
  EXPECT_TRUE(WaitForLive(calc.Get(), 1));
  ServerProcess::End(calc.Get());
}

TEST(ComBus, AClientThatDiesHasItsObjectsReleased) {
  ComPtr<ITestCalc> calc = Create();
  ASSERT_TRUE(calc);
  FILE* peer = ::popen(COM_TEST_PEER " hold 3", "r");
  ASSERT_TRUE(peer);
  char line[16] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, peer));
  EXPECT_STREQ(line, "ready\n");
  EXPECT_EQ(LiveObjects(calc.Get()), 4);
  std::system("pkill -KILL -f '" COM_TEST_PEER " hold 3'");
  ::pclose(peer);
  EXPECT_TRUE(WaitForLive(calc.Get(), 1));
  ServerProcess::End(calc.Get());
}

TEST(ComBus, ASecondServerCannotTakeTheName) {
  ComPtr<ITestCalc> calc = Create();  // the first one runs
  ASSERT_TRUE(calc);
  int status = std::system(COM_TEST_PEER " -Embedding");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1056 & 0xFF);
  ServerProcess::End(calc.Get());
}

TEST(ComBus, AServerThatWentAwayIsReportedNotHung) {
  ComPtr<ITestCalc> calc = Create();
  ASSERT_TRUE(calc);
  ServerProcess::End(calc.Get());
  std::this_thread::sleep_for(milliseconds(200));
  int32_t sum = 0;
  EXPECT_EQ(calc->Add(1, 1, &sum), RPC_E_DISCONNECTED);
}

TEST(ComBus, UnknownClassOrInterface) {
  ComPtr<ITestCalc> calc = Create();
  ASSERT_TRUE(calc);
  ComPtr<IUnknown> other;
  EXPECT_EQ(CreateLocalInstance(TestBusName, MakeGuid("{00000000-1111-2222-3333-444444444444}"), IID_ITestCalc,
                                other.PutVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(CreateLocalInstance("org.zarn.Nobody", CLSID_TestCalc, IID_ITestCalc, other.PutVoid()),
            CO_E_SERVER_EXEC_FAILURE);
  ServerProcess::End(calc.Get());
}

TEST(ComBus, MethodsAreTypedOnTheBus) {
  ComPtr<ITestCalc> calc = Create();
  ASSERT_TRUE(calc);
  // Another client sees typed methods: byte strings as byte arrays.
  auto create = QDBusMessage::createMethodCall(TestBusName, FactoryPath(CLSID_TestCalc), FactoryInterface, "CreateInstance");
  create << QString::fromStdString(IID_ITestCalc.ToString());
  QDBusMessage reply = QDBusConnection::sessionBus().call(create);
  ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage);
  QString path = reply.arguments().value(1).value<QDBusObjectPath>().path();
  auto introspect = QDBusMessage::createMethodCall(TestBusName, path, "org.freedesktop.DBus.Introspectable", "Introspect");
  QString xml = QDBusConnection::sessionBus().call(introspect).arguments().value(0).toString();
  EXPECT_TRUE(xml.contains("<method name=\"Reverse\">")) << xml.toStdString();
  EXPECT_TRUE(xml.contains("<arg name=\"data\" type=\"ay\" direction=\"in\"/>"));
  EXPECT_TRUE(xml.contains("<method name=\"put_Name\">"));
  auto add = QDBusMessage::createMethodCall(TestBusName, path, "org.zarn.ITestCalc", "Add");
  add << 2 << 3;
  QDBusMessage sum = QDBusConnection::sessionBus().call(add);
  ASSERT_EQ(sum.arguments().size(), 2);
  EXPECT_EQ(sum.arguments()[0].toInt(), 0);
  EXPECT_EQ(sum.arguments()[1].toInt(), 5);
  ServerProcess::End(calc.Get());
}

// ---- late-bound clients: a ProgID and member names only ----

namespace {

// What a script does: creates an object by its ProgID and calls its members by name.
struct Script {
  ComPtr<IDispatch> object;

  static Script Create() {
    Script s;
    EXPECT_EQ(CoCreateInstance(TestVariantsProgId, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, s.object.PutVoid()), S_OK);
    return s;
  }
  HRESULT Call(const std::string& name, uint16_t flags, std::vector<Variant>& args, Variant* result = nullptr,
               EXCEPINFO* exception = nullptr, std::vector<DISPID> named = {}) {
    DISPID id = DISPID_UNKNOWN;
    if (HRESULT hr = object->GetIDsOfNames(IID_IDispatch, {name}, 0, &id); FAILED(hr)) return hr;
    DISPPARAMS params{std::move(args), std::move(named)};
    HRESULT hr = object->Invoke(id, IID_IDispatch, 0, flags, &params, result, exception, nullptr);
    args = std::move(params.args);
    return hr;
  }
  Variant Get(const std::string& name) {
    std::vector<Variant> none;
    Variant v;
    EXPECT_EQ(Call(name, DISPATCH_PROPERTYGET, none, &v), S_OK) << name;
    return v;
  }
  std::string Describe(const Variant& v) {
    std::vector<Variant> args{v};
    Variant r;
    EXPECT_EQ(Call("describe", DISPATCH_METHOD, args, &r), S_OK);
    return r.String().Utf8();
  }
  void End() {
    ComPtr<ITestCalc> calc;
    if (SUCCEEDED(CoCreateInstance("Zarn.TestCalc", nullptr, CLSCTX_LOCAL_SERVER, IID_ITestCalc, calc.PutVoid())))
      ServerProcess::End(calc.Get());
  }
};

bool SameValue(const Variant& a, const Variant& b) {
  if (a.Type() != b.Type()) return false;
  switch (a.Type()) {
    case VT_BSTR: return a.String() == b.String();
    case VT_R8: case VT_DATE: return a.RealValue() == b.RealValue();
    default: return a.Integer() == b.Integer();
  }
}

}  // namespace

TEST(LateBound, EveryVariantKindGoesAndComesBackExactly) {
  Script s = Script::Create();
  ASSERT_TRUE(s.object);
  // The interface is learnt from the server: this program has no table of it.
  ComPtr<ITypeInfo> type;
  ASSERT_EQ(s.object->GetTypeInfo(0, 0, type.Put()), S_OK);
  ASSERT_TRUE(type->Interface());
  EXPECT_STREQ(type->Interface()->name, "ITestVariants");

  const uint8_t raw[] = {0x00, 0xFF, 0xFE, 0x80, 0x01};
  std::u16string bom = u"\uFEFFZürich ✓";
  const std::pair<Variant, std::string> cases[] = {
      {Variant::Null(), "null"},
      {Variant(true), "bool:true"},
      {Variant(false), "bool:false"},
      {Variant::Of(VT_I2, -5), "2:-5"},
      {Variant(int32_t(-123456)), "3:-123456"},
      {Variant::Of(VT_UI4, 4000000000u), "19:4000000000"},
      {Variant::Of(VT_UI1, 200), "17:200"},
      {Variant::Real(VT_R8, 3.25), "r8:3.25"},
      {Variant::Real(VT_DATE, 45000.5), "date:45000.5"},
      {Variant(Bstr::FromText(bom)), "bstr:" + std::to_string(bom.size() * 2)},
      {Variant(Bstr::FromBytes(raw, sizeof raw)), "bstr:5"},
      {Variant(Bstr()), "bstr:0"},
  };
  for (const auto& [value, seen] : cases) {
    SCOPED_TRACE(seen);
    EXPECT_EQ(s.Describe(value), seen);
    std::vector<Variant> args{value, Variant().ByRef()};
    ASSERT_EQ(s.Call("Echo", DISPATCH_METHOD, args), S_OK);
    EXPECT_TRUE(SameValue(args[1], value)) << args[1].Type();
    EXPECT_TRUE(args[1].IsByRef());
  }
  // Nothing written to an out variant: it comes back empty, not as text.
  std::vector<Variant> args{Variant(), Variant(Bstr::FromUtf8("stale"))};
  ASSERT_EQ(s.Call("ECHO", DISPATCH_METHOD, args), S_OK);
  EXPECT_EQ(args[1].Type(), VT_EMPTY);
  std::vector<Variant> kept{Variant()};
  ASSERT_EQ(s.Call("kept", DISPATCH_METHOD, kept), S_OK);
  EXPECT_EQ(kept[0].Type(), VT_EMPTY);

  // Typed parameters of every kind, an object among them.
  std::vector<Variant> typed{Variant::Of(VT_I2, 7), Variant(int32_t(-1)), Variant::Of(VT_UI4, 0xFFFFFFFFu),
                             Variant::Real(VT_R8, -0.5), Variant::Real(VT_DATE, 1.25), Variant(true),
                             Variant(Bstr::FromUtf8("t")), Variant(Bstr::FromBytes(raw, 3)), Variant(s.Get("Self").Dispatch()),
                             Variant(ComPtr<IUnknown>())};
  Variant described;
  ASSERT_EQ(s.Call("Typed", DISPATCH_METHOD, typed, &described), S_OK);
  EXPECT_EQ(described.String().Utf8(),
            "2:7;3:-1;19:4294967295;r8:-0.5;date:1.25;bool:true;bstr:2;bstr:3;dispatch;unknown:null;");
  s.End();
}

TEST(LateBound, ObjectsTravelBothWaysAndComeHomeAsThemselves) {
  Script s = Script::Create();
  ASSERT_TRUE(s.object);
  // An object-valued property, called in turn.
  Variant self = s.Get("Self");
  ASSERT_EQ(self.Type(), VT_DISPATCH);
  Script other{self.Dispatch()};
  EXPECT_EQ(other.Describe(Variant(int32_t(1))), "3:1");
  EXPECT_EQ(s.Describe(self), "dispatch");

  // An object of this process, stored by the server with a named property put and given back.
  ComPtr<IDispatch> mine;
  ASSERT_EQ(CTestVariantsFactory().CreateInstance(nullptr, IID_IDispatch, mine.PutVoid()), S_OK);
  std::vector<Variant> put{Variant(mine)};
  ASSERT_EQ(s.Call("Value", DISPATCH_PROPERTYPUT, put, nullptr, nullptr, {DISPID_PROPERTYPUT}), S_OK);
  Variant back = s.Get("value");
  ASSERT_EQ(back.Type(), VT_DISPATCH);
  EXPECT_EQ(back.Dispatch().Get(), mine.Get());
  // The server calls it back during its own call.
  std::vector<Variant> call{Variant(mine), Variant(int32_t(42))};
  Variant answer;
  ASSERT_EQ(s.Call("CallBack", DISPATCH_METHOD, call, &answer), S_OK);
  EXPECT_EQ(answer.String().Utf8(), "3:42");
  // A variant holding an object, echoed.
  std::vector<Variant> echo{Variant(ComPtr<IUnknown>(mine.Get())), Variant()};
  ASSERT_EQ(s.Call("Echo", DISPATCH_METHOD, echo), S_OK);
  EXPECT_EQ(echo[1].Type(), VT_UNKNOWN);
  EXPECT_EQ(echo[1].Unknown().Get(), ComPtr<IUnknown>(mine.Get()).Get());

  // Plain put and a named argument where none is taken.
  std::vector<Variant> plain{Variant(int32_t(5))};
  ASSERT_EQ(s.Call("Value", DISPATCH_PROPERTYPUT, plain), S_OK);
  EXPECT_EQ(s.Get("Value").Integer(), 5);
  std::vector<Variant> wrong{Variant(int32_t(5))};
  EXPECT_EQ(s.Call("Describe", DISPATCH_METHOD, wrong, nullptr, nullptr, {0}), DISP_E_NONAMEDARGS);
  s.End();
}

TEST(LateBound, FailuresCarryTheirExceptionAndEveryCallIsAnswered) {
  Script s = Script::Create();
  ASSERT_TRUE(s.object);
  std::vector<Variant> none;
  EXCEPINFO e;
  EXPECT_EQ(s.Call("Fail", DISPATCH_METHOD, none, nullptr, &e), DISP_E_EXCEPTION);
  EXPECT_EQ(e.wCode, 1001);
  EXPECT_EQ(e.source, "ZarnTest");
  EXPECT_EQ(e.description, "The test asked for a failure.");
  EXPECT_EQ(e.scode, E_FAIL);
  // An out value that cannot cross gives an error, not a client waiting for ever.
  std::vector<Variant> opaque{Variant()};
  EXPECT_EQ(s.Call("Opaque", DISPATCH_METHOD, opaque), RPC_E_SERVERFAULT);
  EXPECT_EQ(opaque[0].Type(), VT_EMPTY);
  EXPECT_EQ(s.Describe(Variant(true)), "bool:true");
  // Served objects run on the server's own thread, whichever thread calls.
  bool own = false;
  std::thread([&] { own = s.Get("OnOwnThread").Bool(); }).join();
  EXPECT_TRUE(own);
  s.End();
}

TEST(LateBound, KillingEitherSideReleasesEverythingAndHangsNothing) {
  Script s = Script::Create();
  ASSERT_TRUE(s.object);
  EXPECT_EQ(s.Get("Live").Integer(), 1);
  // A client that gave the server an object and holds one of the server's dies.
  FILE* peer = ::popen(COM_TEST_PEER " call-back", "r");
  ASSERT_TRUE(peer);
  char line[16] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, peer));
  EXPECT_STREQ(line, "ready\n");
  EXPECT_EQ(s.Get("Live").Integer(), 2);
  std::system("pkill -KILL -f '" COM_TEST_PEER " call-back'");
  ::pclose(peer);
  bool released = false;
  for (int i = 0; i < 200 && !released; ++i) {
    released = s.Get("Live").Integer() == 1;
    if (!released) std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_TRUE(released);

  // The server dies while it holds an object of ours: ours is released, calls fail at once.
  int before = TestVariantsLive();
  {
    ComPtr<IDispatch> mine;
    ASSERT_EQ(CTestVariantsFactory().CreateInstance(nullptr, IID_IDispatch, mine.PutVoid()), S_OK);
    std::vector<Variant> put{Variant(mine)};
    ASSERT_EQ(s.Call("Value", DISPATCH_PROPERTYPUT, put, nullptr, nullptr, {DISPID_PROPERTYPUT}), S_OK);
  }
  EXPECT_EQ(TestVariantsLive(), before + 1);
  s.End();
  for (int i = 0; i < 200 && TestVariantsLive() != before; ++i) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(TestVariantsLive(), before);
  std::vector<Variant> none;
  Variant v;
  EXPECT_EQ(s.Call("Live", DISPATCH_PROPERTYGET, none, &v), RPC_E_DISCONNECTED);
}

TEST(LateBound, AnotherConnectionCannotCallOrReleaseOurObjects) {
  Script s = Script::Create();
  ASSERT_TRUE(s.object);
  auto create = QDBusMessage::createMethodCall(TestBusName, FactoryPath(CLSID_TestVariants), FactoryInterface, "CreateInstance");
  create << QString::fromStdString(IID_IDispatch.ToString());
  QDBusMessage made = QDBusConnection::sessionBus().call(create);
  ASSERT_EQ(made.type(), QDBusMessage::ReplyMessage);
  QString path = made.arguments().value(1).value<QDBusObjectPath>().path();
  QString server = made.service();
  QDBusConnection second = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "second");
  ASSERT_TRUE(second.isConnected());
  auto live = [&](const QDBusConnection& bus) {
    return bus.call(QDBusMessage::createMethodCall(server, path, "org.zarn.ITestVariants", "get_Live"));
  };
  EXPECT_EQ(live(second).type(), QDBusMessage::ErrorMessage);
  second.call(QDBusMessage::createMethodCall(server, path, ObjectInterface, "Release"));
  // Introspection shows the second connection nothing of ours.
  auto introspect = QDBusMessage::createMethodCall(server, "/com/object", "org.freedesktop.DBus.Introspectable", "Introspect");
  QString seen = second.call(introspect).arguments().value(0).toString();
  EXPECT_FALSE(seen.contains(path.section('/', -1))) << seen.toStdString();
  EXPECT_TRUE(QDBusConnection::sessionBus().call(introspect).arguments().value(0).toString().contains(path.section('/', -1)));
  QDBusMessage ours = live(QDBusConnection::sessionBus());
  ASSERT_EQ(ours.type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(ours.arguments().value(0).toInt(), 0);
  QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(server, path, ObjectInterface, "Release"));
  QDBusConnection::disconnectFromBus("second");
  s.End();
}

// ---- clients that leave the server waiting ----

namespace {

// The bounds the server below is started with, in milliseconds.
constexpr int TypeInfoBound = 1500;
constexpr int CallBound = 1500;

// The test classes' server, started with short bounds on its clients' answers.
struct BoundedServer {
  QProcess process;
  explicit BoundedServer(int typeInfoBound = TypeInfoBound) {
#if defined(__SANITIZE_ADDRESS__)
    // Memory freed stays in quarantine under AddressSanitizer; without it, what the server
    // uses is what it keeps.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0");
    process.setProcessEnvironment(environment);
#endif
    process.start(COM_TEST_PEER, {"-Embedding", QString::number(typeInfoBound), QString::number(CallBound)});
    auto* bus = QDBusConnection::sessionBus().interface();
    for (int i = 0; i < 500 && !bus->isServiceRegistered(TestBusName); ++i) std::this_thread::sleep_for(milliseconds(10));
  }
  ~BoundedServer() {
    process.terminate();
    process.waitForFinished();
  }
  // The memory the server uses, in kB, and the address space it has mapped.
  long Resident() const { return Kilobytes("VmRSS:"); }
  long Mapped() const { return Kilobytes("VmSize:"); }
  long Kilobytes(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(process.processId()) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
  }
};

// A client written with the bus library alone, as a program that hangs, one slow to answer
// or one written to hold the server would be. A thread of its own reads what comes; the
// server's questions for its object's type information get the answer it was made with,
// after its delay. No other call of the server's is answered, but by a client that calls
// back: it answers a call to its object once its own call to the server has been answered.
class RawClient {
 public:
  enum class Answer { None, Description, Error, CallingBack };

  explicit RawClient(Answer answer = Answer::None, IID iid = {}, milliseconds delay = milliseconds(0))
      : answer_(answer), iid_(iid), delay_(delay), bus_(dbus_bus_get_private(DBUS_BUS_SESSION, nullptr)) {
    if (!bus_) return;
    dbus_connection_set_exit_on_disconnect(bus_, false);
    reader_ = std::thread([this] { Read(); });
  }
  ~RawClient() {
    if (!bus_) return;
    stop_ = true;
    reader_.join();
    for (auto& [serial, reply] : replies_) dbus_message_unref(reply);
    for (auto& [due, question] : due_) dbus_message_unref(question);
    for (auto& [serial, question] : callingBack_) dbus_message_unref(question);
    dbus_connection_flush(bus_);  // a client that leaves has sent all it sent
    dbus_connection_close(bus_);
    dbus_connection_unref(bus_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return bus_ && dbus_connection_get_is_connected(bus_); }
  std::string Name() const { return dbus_bus_get_unique_name(bus_); }
  // Whether the server has called us and waits for an answer that will not come.
  bool WaitedOn() const { return waitedOn_; }

  // Sends the call (taking it) without waiting; its serial. The reader writes it out: a
  // flush here would wait for the reader's hold on the connection, which it takes again at once.
  dbus_uint32_t Send(DBusMessage* call) {
    dbus_uint32_t serial = 0;
    dbus_connection_send(bus_, call, &serial);
    dbus_message_unref(call);
    return serial;
  }
  // The reply to the call of that serial, waited for at most giveUp; null if none came.
  DBusMessage* Reply(dbus_uint32_t serial, milliseconds giveUp) {
    std::unique_lock lock(mutex_);
    DBusMessage* reply = nullptr;
    arrived_.wait_for(lock, giveUp, [&] {
      auto it = replies_.find(serial);
      if (it == replies_.end()) return false;
      reply = it->second;
      replies_.erase(it);
      return true;
    });
    return reply;
  }
  DBusMessage* Call(DBusMessage* call, milliseconds giveUp) { return Reply(Send(call), giveUp); }
  // How many replies have come that nobody has taken yet.
  size_t Unread() {
    std::lock_guard lock(mutex_);
    return replies_.size();
  }
  // The replies that came, taken all at once.
  std::map<dbus_uint32_t, DBusMessage*> TakeReplies() {
    std::lock_guard lock(mutex_);
    return std::exchange(replies_, {});
  }

  // An object of the test class made for this client at the server; its path, or empty.
  std::string Create() {
    const std::string factory = FactoryPath(CLSID_TestVariants).toStdString();
    DBusMessage* create = dbus_message_new_method_call(TestBusName, factory.c_str(), FactoryInterface, "CreateInstance");
    const std::string iid = IID_ITestVariants.ToString();
    const char* text = iid.c_str();
    dbus_message_append_args(create, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    DBusMessage* reply = Call(create, seconds(5));
    dbus_int32_t hr = -1;
    const char* path = nullptr;
    const char* served = nullptr;
    std::string made;
    if (reply &&
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_INT32, &hr, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_STRING, &served,
                              DBUS_TYPE_INVALID) &&
        hr == S_OK)
      made = path;
    if (reply) dbus_message_unref(reply);
    std::lock_guard lock(mutex_);
    created_ = made;
    return made;
  }

 private:
  void Read() {
    while (!stop_ && dbus_connection_read_write(bus_, 5)) {
      while (DBusMessage* message = dbus_connection_pop_message(bus_)) {
        if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
          Take(message);
        } else if (dbus_uint32_t serial = dbus_message_get_reply_serial(message); callingBack_.count(serial)) {
          AnswerCallBack(callingBack_.extract(serial).mapped(), message);
        } else if (serial) {
          std::lock_guard lock(mutex_);
          replies_[serial] = message;
          arrived_.notify_all();
          continue;
        }
        dbus_message_unref(message);
      }
      for (auto it = due_.begin(); it != due_.end() && it->first <= steady_clock::now(); it = due_.erase(it)) {
        AnswerQuestion(it->second);
        dbus_message_unref(it->second);
      }
    }
  }
  void Take(DBusMessage* call) {
    if (answer_ != Answer::None && dbus_message_is_method_call(call, ObjectInterface, "GetTypeInfo")) {
      dbus_message_ref(call);
      due_.emplace(steady_clock::now() + delay_, call);
    } else if (answer_ == Answer::CallingBack && !dbus_message_is_method_call(call, ObjectInterface, "Release")) {
      std::string created;
      {
        std::lock_guard lock(mutex_);
        created = created_;
      }
      DBusMessage* back = dbus_message_new_method_call(TestBusName, created.c_str(), "org.zarn.ITestVariants", "get_Live");
      dbus_uint32_t serial = 0;
      dbus_connection_send(bus_, back, &serial);
      dbus_message_unref(back);
      dbus_message_ref(call);
      callingBack_[serial] = call;
    } else if (!dbus_message_is_method_call(call, ObjectInterface, "Release")) {
      waitedOn_ = true;
    }
  }
  // The server's call to our object gets its result, a text, when ours to the server succeeded.
  void AnswerCallBack(DBusMessage* question, DBusMessage* ours) {
    dbus_int32_t hr = 1;
    DBusMessage* reply;
    if (dbus_message_get_type(ours) == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
        dbus_message_get_args(ours, nullptr, DBUS_TYPE_INT32, &hr, DBUS_TYPE_INVALID) && hr == S_OK) {
      const char* text = "called back";
      reply = dbus_message_new_method_return(question);
      dbus_message_append_args(reply, DBUS_TYPE_INT32, &hr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    } else {
      reply = dbus_message_new_error(question, "org.zarn.Test.Error.NotCalledBack", "The call back failed.");
    }
    dbus_connection_send(bus_, reply, nullptr);
    dbus_message_unref(reply);
    dbus_message_unref(question);
  }
  void AnswerQuestion(DBusMessage* question) {
    DBusMessage* reply;
    if (answer_ != Answer::Error) {
      // Its object says it has a Describe method, as the server's own have.
      const InterfaceInfo info{iid_, "IPeer", "", {{1, "Describe", MemberKind::Method, {{"Value", VT_VARIANT}}, VT_BSTR}}};
      const std::string text = SerializeInterface(info).toStdString();
      const char* description = text.c_str();
      reply = dbus_message_new_method_return(question);
      dbus_message_append_args(reply, DBUS_TYPE_STRING, &description, DBUS_TYPE_INVALID);
    } else {
      reply = dbus_message_new_error(question, "org.zarn.Test.Error.Undescribed", "This object has no description.");
    }
    dbus_connection_send(bus_, reply, nullptr);
    dbus_message_unref(reply);
  }

  const Answer answer_;
  const IID iid_;
  const milliseconds delay_;
  DBusConnection* bus_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> waitedOn_{false};
  std::multimap<steady_clock::time_point, DBusMessage*> due_;  // questions to answer, the reader's own
  std::map<dbus_uint32_t, DBusMessage*> callingBack_;          // the server's calls, by the serial of ours; the reader's own
  std::string created_;                                        // our object's path at the server
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::map<dbus_uint32_t, DBusMessage*> replies_;
};

// A reference to the client's object, (owner, path, interface); with no owner, to none.
void AppendReference(DBusMessageIter* to, const std::string& owner, REFIID iid) {
  const std::string id = owner.empty() ? "" : iid.ToString();
  const char* fields[] = {owner.c_str(), owner.empty() ? "/" : "/peer/object", id.c_str()};
  DBusMessageIter reference;
  dbus_message_iter_open_container(to, DBUS_TYPE_STRUCT, nullptr, &reference);
  dbus_message_iter_append_basic(&reference, DBUS_TYPE_STRING, &fields[0]);
  dbus_message_iter_append_basic(&reference, DBUS_TYPE_OBJECT_PATH, &fields[1]);
  dbus_message_iter_append_basic(&reference, DBUS_TYPE_STRING, &fields[2]);
  dbus_message_iter_close_container(to, &reference);
}

// A VARIANT, (type, value), holding the client's object or a number.
void AppendVariant(DBusMessageIter* to, const std::string& owner, REFIID iid, std::optional<dbus_int32_t> number) {
  DBusMessageIter variant, value;
  const dbus_uint16_t type = number ? VT_I4 : VT_DISPATCH;
  dbus_message_iter_open_container(to, DBUS_TYPE_STRUCT, nullptr, &variant);
  dbus_message_iter_append_basic(&variant, DBUS_TYPE_UINT16, &type);
  dbus_message_iter_open_container(&variant, DBUS_TYPE_VARIANT, number ? "i" : "(sos)", &value);
  if (number) dbus_message_iter_append_basic(&value, DBUS_TYPE_INT32, &*number);
  else AppendReference(&value, owner, iid);
  dbus_message_iter_close_container(&variant, &value);
  dbus_message_iter_close_container(to, &variant);
}

// The call that stores a value in the object at path: the client's object, or a number.
DBusMessage* PutValue(const std::string& path, const RawClient& client, REFIID iid,
                      std::optional<dbus_int32_t> number = std::nullopt) {
  DBusMessage* call = dbus_message_new_method_call(TestBusName, path.c_str(), "org.zarn.ITestVariants", "put_Value");
  DBusMessageIter args;
  dbus_message_iter_init_append(call, &args);
  AppendVariant(&args, client.Name(), iid, number);
  return call;
}

DBusMessage* GetMember(const std::string& path, const char* member) {
  return dbus_message_new_method_call(TestBusName, path.c_str(), "org.zarn.ITestVariants", member);
}

// CallBack(Object, Value) with the client's object as its Value, which the server only
// takes in, or as its Object, which the server calls.
DBusMessage* CallBackWith(const std::string& path, const RawClient& client, REFIID iid, bool called) {
  DBusMessage* call = GetMember(path, "CallBack");
  DBusMessageIter args;
  dbus_message_iter_init_append(call, &args);
  AppendReference(&args, called ? client.Name() : "", iid);
  AppendVariant(&args, client.Name(), iid, called ? std::optional<dbus_int32_t>(42) : std::nullopt);
  return call;
}

// Keeps the server's thread from its loop for that long.
DBusMessage* BusyFor(const std::string& path, milliseconds busy) {
  DBusMessage* call = GetMember(path, "Busy");
  const dbus_int32_t ms = dbus_int32_t(busy.count());
  dbus_message_append_args(call, DBUS_TYPE_INT32, &ms, DBUS_TYPE_INVALID);
  return call;
}

// The HRESULT a reply starts with, 1 for anything else; and a failure's argument index.
HRESULT ResultOf(DBusMessage* reply, dbus_uint32_t* argError = nullptr) {
  dbus_int32_t hr = 1;
  DBusMessageIter it;
  if (reply && dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN && dbus_message_iter_init(reply, &it) &&
      dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_INT32)
    dbus_message_iter_get_basic(&it, &hr);
  if (argError && FAILED(hr) && dbus_message_iter_next(&it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_UINT32)
    dbus_message_iter_get_basic(&it, argError);
  return hr;
}

// The count a successful get of Live answers with, -1 for anything else.
dbus_int32_t LiveOf(DBusMessage* reply) {
  dbus_int32_t hr = 1, live = -1;
  if (ResultOf(reply) == S_OK)
    dbus_message_get_args(reply, nullptr, DBUS_TYPE_INT32, &hr, DBUS_TYPE_INT32, &live, DBUS_TYPE_INVALID);
  return live;
}

// The type of the VARIANT a successful get of Value answers with, 0 for anything else.
dbus_uint16_t VariantTypeOf(DBusMessage* reply) {
  DBusMessageIter it, variant;
  dbus_uint16_t type = 0;
  if (ResultOf(reply) == S_OK && dbus_message_iter_init(reply, &it) && dbus_message_iter_next(&it) &&
      dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRUCT) {
    dbus_message_iter_recurse(&it, &variant);
    if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_UINT16) dbus_message_iter_get_basic(&variant, &type);
  }
  return type;
}

milliseconds Since(steady_clock::time_point start) { return duration_cast<milliseconds>(steady_clock::now() - start); }

const IID PeerIid = MakeGuid("{00000000-0000-0000-0000-0000000000A0}");

// Calls of a client that never answers what its call makes the server ask of it.
struct Unanswered {
  const char* what;
  bool called;  // the object is CallBack's Object; the client describes it, but answers no call to it
  IID iid;
  int bound;
  std::optional<dbus_uint32_t> argError;  // a failure of the object's own call names no argument
};
const Unanswered UnansweredCases[] = {
    {"an object it never describes", false, MakeGuid("{00000000-0000-0000-0000-0000000000A1}"), TypeInfoBound, 1},
    {"a call to its object it never answers", true, MakeGuid("{00000000-0000-0000-0000-0000000000A2}"), CallBound, {}},
};

}  // namespace

TEST(HeldServer, AClientThatNeverAnswersFailsOnlyItsOwnCall) {
  BoundedServer server;
  // Another client, with an object of its own at the server.
  RawClient other;
  const std::string otherPath = other.Create();
  ASSERT_FALSE(otherPath.empty());

  for (const Unanswered& c : UnansweredCases) {
    SCOPED_TRACE(c.what);
    RawClient client(c.called ? RawClient::Answer::Description : RawClient::Answer::None, c.iid);
    ASSERT_TRUE(client.Connected());
    const std::string path = client.Create();
    ASSERT_FALSE(path.empty());

    const auto start = steady_clock::now();
    const dbus_uint32_t held = client.Send(CallBackWith(path, client, c.iid, c.called));
    for (int i = 0; i < 300 && !client.WaitedOn(); ++i) std::this_thread::sleep_for(milliseconds(10));
    EXPECT_TRUE(client.WaitedOn());
    // Meanwhile the other client is answered at once, and the held call is still held.
    const auto asked = steady_clock::now();
    DBusMessage* live = other.Call(GetMember(otherPath, "get_Live"), seconds(5));
    EXPECT_EQ(ResultOf(live), S_OK);
    EXPECT_LT(Since(asked).count(), 1000);
    if (live) dbus_message_unref(live);
    EXPECT_EQ(client.Unread(), 0u);
    // The silent client's call fails once the bound has passed (the bus's timers may fire a
    // little early), telling why; the client would have given up long after.
    DBusMessage* reply = client.Reply(held, milliseconds(c.bound + 5000));
    EXPECT_GE(Since(start).count(), c.bound * 9 / 10);
    EXPECT_LT(Since(start).count(), c.bound + 2500);
    dbus_uint32_t argError = 99;
    EXPECT_EQ(ResultOf(reply, &argError), RPC_E_TIMEOUT);
    if (c.argError) EXPECT_EQ(argError, *c.argError);
    if (reply) dbus_message_unref(reply);
    // The server goes on serving both.
    for (RawClient* each : {&other, &client}) {
      DBusMessage* alive = each->Call(GetMember(each == &other ? otherPath : path, "get_Live"), seconds(5));
      EXPECT_EQ(ResultOf(alive), S_OK);
      if (alive) dbus_message_unref(alive);
    }
  }
}

TEST(HeldServer, ABoundThatPassedWhileTheServerWasBusyIsATimeOut) {
  BoundedServer server;
  RawClient busy;
  const std::string busyPath = busy.Create();
  ASSERT_FALSE(busyPath.empty());
  for (const Unanswered& c : UnansweredCases) {
    SCOPED_TRACE(c.what);
    RawClient client(c.called ? RawClient::Answer::Description : RawClient::Answer::None, c.iid);
    const std::string path = client.Create();
    ASSERT_FALSE(path.empty());
    const dbus_uint32_t held = client.Send(CallBackWith(path, client, c.iid, c.called));
    for (int i = 0; i < 300 && !client.WaitedOn(); ++i) std::this_thread::sleep_for(milliseconds(10));
    ASSERT_TRUE(client.WaitedOn());
    // The server's thread is kept busy past the bound, until after the bus itself has given
    // up on the answer (a second after the bound): the call still failed for want of time.
    DBusMessage* slept = busy.Call(BusyFor(busyPath, milliseconds(c.bound + 1500)), seconds(10));
    EXPECT_EQ(ResultOf(slept), S_OK);
    if (slept) dbus_message_unref(slept);
    DBusMessage* reply = client.Reply(held, seconds(5));
    dbus_uint32_t argError = 99;
    EXPECT_EQ(ResultOf(reply, &argError), RPC_E_TIMEOUT);
    if (c.argError) EXPECT_EQ(argError, *c.argError);
    if (reply) dbus_message_unref(reply);
  }
}

TEST(HeldServer, AClientsAnswerEndsItsCallWhateverOtherClientsHold) {
  // A client that answers the question for its object's type information late (and, calling
  // back, the server's call to its object once the server has answered its own call from
  // inside it); meanwhile a silent client holds calls of its own, which the server waits on too.
  struct Case {
    const char* what;
    RawClient::Answer answer;
    int delay;            // before the slow client answers, ms
    int silentStarts;     // ms after the slow client's call, the silent one's first
    int silentEvery;      // ms between the silent client's calls, 0 for one call
    bool silentLeaves;    // after its calls, it queues calls that keep the server busy, and leaves
    HRESULT hr;
    dbus_uint32_t argError;
  };
  const Case cases[] = {
      {"a description after 0.7 s, while another client keeps sending calls it holds", RawClient::Answer::Description,
       700, -300, 200, false, S_OK, 0},
      {"an error after 0.3 s, while another client's wait opened after its own", RawClient::Answer::Error, 300, 100, 0,
       false, E_NOINTERFACE, 0},
      {"a call to the server from inside the server's call to its object, answered at once", RawClient::Answer::CallingBack,
       300, 100, 0, false, S_OK, 0},
      {"a description after 0.7 s, while another client leaves with its calls held and queued",
       RawClient::Answer::Description, 700, 100, 0, true, S_OK, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BoundedServer server;
    const IID slowIid = MakeGuid("{00000000-0000-0000-0000-0000000000B1}");
    RawClient slow(c.answer, slowIid, milliseconds(c.delay));
    std::optional<RawClient> silent(std::in_place);
    const std::string slowPath = slow.Create(), silentPath = silent->Create();
    ASSERT_FALSE(slowPath.empty());
    ASSERT_FALSE(silentPath.empty());
    std::atomic<bool> done{false};
    auto holdCalls = [&] {
      do {
        silent->Send(PutValue(silentPath, *silent, MakeGuid("{00000000-0000-0000-0000-0000000000B2}")));
        if (c.silentEvery) std::this_thread::sleep_for(milliseconds(c.silentEvery));
      } while (c.silentEvery && !done);
      if (!c.silentLeaves) return;
      for (int i = 0; i < 8; ++i) silent->Send(BusyFor(silentPath, milliseconds(250)));
      silent.reset();
    };
    std::thread holding;
    if (c.silentStarts < 0) {
      holding = std::thread(holdCalls);
      std::this_thread::sleep_for(milliseconds(-c.silentStarts));
    }
    const auto start = steady_clock::now();
    const dbus_uint32_t serial = slow.Send(c.answer == RawClient::Answer::CallingBack
                                               ? CallBackWith(slowPath, slow, slowIid, true)
                                               : PutValue(slowPath, slow, slowIid));
    if (c.silentStarts >= 0) {
      std::this_thread::sleep_for(milliseconds(c.silentStarts));
      holding = std::thread(holdCalls);
    }
    DBusMessage* reply = slow.Reply(serial, seconds(10));
    const auto took = Since(start).count();
    done = true;
    holding.join();
    // Its call ends once it has answered, with what its answer gives, however long the
    // silent client's calls are held; the calls of a client that left are not run.
    EXPECT_GE(took, c.delay);
    EXPECT_LT(took, c.delay + 700);
    dbus_uint32_t argError = 99;
    EXPECT_EQ(ResultOf(reply, &argError), c.hr);
    if (FAILED(c.hr)) {
      EXPECT_EQ(argError, c.argError);
    }
    if (reply) dbus_message_unref(reply);
    // A client that left has its calls, and with them its object, let go.
    DBusMessage* live = slow.Call(GetMember(slowPath, "get_Live"), seconds(5));
    EXPECT_EQ(LiveOf(live), c.silentLeaves ? 1 : 2);
    if (live) dbus_message_unref(live);
  }
}

TEST(HeldServer, AClientsCallsRunInTheOrderItSentThem) {
  BoundedServer server;
  RawClient client(RawClient::Answer::Description, PeerIid, milliseconds(300));
  const std::string path = client.Create();
  ASSERT_FALSE(path.empty());
  DBusMessage* first = client.Call(PutValue(path, client, PeerIid, 5), seconds(5));
  EXPECT_EQ(ResultOf(first), S_OK);
  if (first) dbus_message_unref(first);
  // The put waits for the object's description; the get, sent at once behind it, sees it.
  const dbus_uint32_t put = client.Send(PutValue(path, client, PeerIid));
  const dbus_uint32_t get = client.Send(GetMember(path, "get_Value"));
  DBusMessage* stored = client.Reply(put, seconds(5));
  DBusMessage* read = client.Reply(get, seconds(5));
  EXPECT_EQ(ResultOf(stored), S_OK);
  EXPECT_EQ(VariantTypeOf(read), VT_DISPATCH);
  for (DBusMessage* reply : {stored, read})
    if (reply) dbus_message_unref(reply);
  // Another client's calls do not wait behind a client's held call.
  const IID later = MakeGuid("{00000000-0000-0000-0000-0000000000C1}");
  RawClient slow(RawClient::Answer::Description, later, milliseconds(1000));
  const std::string slowPath = slow.Create();
  ASSERT_FALSE(slowPath.empty());
  const dbus_uint32_t held = slow.Send(PutValue(slowPath, slow, later));
  const auto asked = steady_clock::now();
  const dbus_uint32_t quick = client.Send(GetMember(path, "get_Value"));
  DBusMessage* value = client.Reply(quick, seconds(5));
  EXPECT_EQ(VariantTypeOf(value), VT_DISPATCH);
  EXPECT_LT(Since(asked).count(), 1000);
  EXPECT_EQ(slow.Unread(), 0u);  // answered while the other is still held
  if (value) dbus_message_unref(value);
  DBusMessage* after = slow.Reply(held, seconds(5));
  EXPECT_EQ(ResultOf(after), S_OK);
  if (after) dbus_message_unref(after);
}

TEST(HeldServer, AFloodOfHeldCallsIsRefusedPastTheLimitAndHoldsUpNoOne) {
  BoundedServer server;
  RawClient flooding, other;
  const std::string floodPath = flooding.Create(), otherPath = other.Create();
  ASSERT_FALSE(floodPath.empty());
  ASSERT_FALSE(otherPath.empty());
  DBusMessage* warm = other.Call(GetMember(otherPath, "get_Live"), seconds(5));
  if (warm) dbus_message_unref(warm);
  const long before = server.Resident();
  ASSERT_GT(before, 0);

  // Calls that each wait on the client's description of its object, which never comes.
  constexpr int Flood = 3000;
  const auto start = steady_clock::now();
  for (int i = 0; i < Flood; ++i) flooding.Send(PutValue(floodPath, flooding, PeerIid));
  // Another client is answered within a second throughout, until the server has taken in
  // the flood (its refusals are out) and a held call or two has passed its bound.
  milliseconds slowest(0);
  std::optional<milliseconds> taken;
  while (Since(start) < seconds(20) && (Since(start) < milliseconds(TypeInfoBound * 2) || !taken)) {
    const auto asked = steady_clock::now();
    DBusMessage* live = other.Call(GetMember(otherPath, "get_Live"), seconds(5));
    EXPECT_EQ(ResultOf(live), S_OK);
    if (live) dbus_message_unref(live);
    slowest = std::max(slowest, Since(asked));
    if (!taken && flooding.Unread() >= Flood - ClientHeldCallLimit) taken = Since(start);
    std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_TRUE(taken) << "the refusals did not come";
  EXPECT_LT(taken->count(), 3000);
  EXPECT_LT(slowest.count(), 1000);
  // Past the limit the flooding client's calls were refused at once, saying why; the calls
  // held meanwhile fail one by one, as the bound of each passes.
  int refused = 0, timedOut = 0;
  for (auto& [serial, reply] : flooding.TakeReplies()) {
    HRESULT hr = ResultOf(reply);
    refused += hr == RPC_E_SERVERCALL_RETRYLATER;
    timedOut += hr == RPC_E_TIMEOUT;
    dbus_message_unref(reply);
  }
  EXPECT_LE(refused, Flood - int(ClientHeldCallLimit));
  EXPECT_GE(refused, Flood - 2 * int(ClientHeldCallLimit));
  EXPECT_GE(timedOut, 1);
  // What the server keeps for them stays small: no more than 8 MB over what it used before.
  const long after = server.Resident();
  EXPECT_LT(after - before, 8 * 1024) << before << " kB before, " << after << " kB after";
  std::printf("%d calls: %d refused within %lld ms, %d timed out; the server used %ld kB before, %ld kB after; "
              "another client's slowest answer %lld ms.\n",
              Flood, refused, static_cast<long long>(taken->count()), timedOut, before, after,
              static_cast<long long>(slowest.count()));
}

TEST(HeldServer, HeldCallsOfAllClientsTogetherAreBounded) {
  // The held calls wait on descriptions that never come, for longer than the test takes.
  BoundedServer server(60000);
  // Clients that each hold as many calls as a client may, together more than the process may.
  constexpr size_t Clients = HeldCallLimit / ClientHeldCallLimit + 4;
  constexpr size_t Excess = Clients * ClientHeldCallLimit - HeldCallLimit;
  std::vector<std::unique_ptr<RawClient>> clients;
  std::vector<std::string> paths;
  for (size_t i = 0; i < Clients; ++i) {
    clients.push_back(std::make_unique<RawClient>());
    paths.push_back(clients.back()->Create());
    ASSERT_FALSE(paths.back().empty());
  }
  const IID described = MakeGuid("{00000000-0000-0000-0000-0000000000D1}");
  RawClient other(RawClient::Answer::Description, described);
  const std::string otherPath = other.Create();
  ASSERT_FALSE(otherPath.empty());

  for (size_t i = 0; i < Clients; ++i)
    for (size_t n = 0; n < ClientHeldCallLimit; ++n) clients[i]->Send(PutValue(paths[i], *clients[i], PeerIid));
  auto unread = [&] {
    size_t all = 0;
    for (auto& client : clients) all += client->Unread();
    return all;
  };
  const auto start = steady_clock::now();
  while (unread() < Excess && Since(start) < seconds(10)) std::this_thread::sleep_for(milliseconds(20));
  // The calls past the process's bound were refused, and only those.
  std::this_thread::sleep_for(milliseconds(200));
  size_t refused = 0, answered = 0;
  for (auto& client : clients)
    for (auto& [serial, reply] : client->TakeReplies()) {
      (ResultOf(reply) == RPC_E_SERVERCALL_RETRYLATER ? refused : answered) += 1;
      dbus_message_unref(reply);
    }
  EXPECT_EQ(refused, Excess);
  EXPECT_EQ(answered, 0u);
  // At the bound, another client's call that needs no wait is served at once; one that would
  // wait on the client is refused without asking it.
  const auto asked = steady_clock::now();
  DBusMessage* live = other.Call(GetMember(otherPath, "get_Live"), seconds(5));
  EXPECT_EQ(LiveOf(live), dbus_int32_t(Clients + 1));
  if (live) dbus_message_unref(live);
  DBusMessage* put = other.Call(PutValue(otherPath, other, described), seconds(5));
  dbus_uint32_t argError = 99;
  EXPECT_EQ(ResultOf(put, &argError), RPC_E_SERVERCALL_RETRYLATER);
  EXPECT_EQ(argError, 0u);
  EXPECT_LT(Since(asked).count(), 1000);
  if (put) dbus_message_unref(put);
}

TEST(HeldServer, ACallWhoseStackCannotBeMappedIsRefused) {
  BoundedServer server;
  RawClient holding, refused;
  const std::string holdingPath = holding.Create(), refusedPath = refused.Create();
  ASSERT_FALSE(holdingPath.empty());
  ASSERT_FALSE(refusedPath.empty());
  // A call served keeps its stack for the next; then the server's address space is
  // limited to what it has and less than another stack.
  DBusMessage* warm = refused.Call(GetMember(refusedPath, "get_Live"), seconds(5));
  EXPECT_EQ(ResultOf(warm), S_OK);
  if (warm) dbus_message_unref(warm);
  const long mapped = server.Mapped();
  ASSERT_GT(mapped, 0);
  rlimit room;
  ASSERT_EQ(::prlimit(pid_t(server.process.processId()), RLIMIT_AS, nullptr, &room), 0);
  room.rlim_cur = rlim_t(mapped) * 1024 + (2 << 20);
  ASSERT_EQ(::prlimit(pid_t(server.process.processId()), RLIMIT_AS, &room, nullptr), 0);

  const dbus_uint32_t held = holding.Send(PutValue(holdingPath, holding, PeerIid));
  for (int i = 0; i < 300 && !holding.WaitedOn(); ++i) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_TRUE(holding.WaitedOn());
  // The held call has the kept stack; the next call has none and is refused, saying why.
  DBusMessage* first = refused.Call(GetMember(refusedPath, "get_Live"), seconds(5));
  EXPECT_EQ(ResultOf(first), RPC_E_SERVERCALL_RETRYLATER);
  if (first) dbus_message_unref(first);
  // The server lives on: once the held call has ended, its stack serves the next call.
  DBusMessage* timedOut = holding.Reply(held, milliseconds(TypeInfoBound + 5000));
  EXPECT_EQ(ResultOf(timedOut), RPC_E_TIMEOUT);
  if (timedOut) dbus_message_unref(timedOut);
  DBusMessage* again = refused.Call(GetMember(refusedPath, "get_Live"), seconds(5));
  EXPECT_EQ(LiveOf(again), 2);
  if (again) dbus_message_unref(again);
}

// Registers the test classes as a server would, from a folder whose name holds a space
// and a quote: the bus starts the server from the activation file the registration writes.
void RegisterTestServer(const sim::PrivateSessionBus& bus) {
  char folder[] = "/tmp/zarn-com-XXXXXX";
  ASSERT_TRUE(::mkdtemp(folder));
  ::setenv("ZARN_REGISTRY_DIR", (std::string(folder) + "/registry").c_str(), 1);
  ::setenv(platform::ActivationDirectoryVariable, bus.ServiceDirectory().c_str(), 1);
  std::string home = std::string(folder) + "/Jo's home";
  std::filesystem::create_directories(home);
  std::string program = home + "/com test peer";
  std::filesystem::create_symlink(COM_TEST_PEER, program);
  platform::LocalServerRegistration server{{}, "ZarnTest", "ZarnTest.EXE", program, TestBusName};
  EXPECT_EQ(platform::ActivationCommand(server), "\"" + std::string(folder) + "/Jo's home/com test peer\" -Embedding");
  for (auto [clsid, progId] : {std::pair{CLSID_TestCalc, "Zarn.TestCalc"}, std::pair{CLSID_TestVariants, TestVariantsProgId}})
    ASSERT_EQ(platform::RegisterLocalServerClass({clsid, "Test Class", std::string(progId) + ".1", progId, {}, {}, true}, server),
              S_OK);
  CLSID found;
  EXPECT_EQ(CLSIDFromProgID("zarn.testvariants", &found), S_OK);  // names of keys ignore case
  EXPECT_EQ(found, CLSID_TestVariants);
  EXPECT_EQ(CLSIDFromProgID("Zarn.TestVariants.1", &found), S_OK);
  EXPECT_EQ(CLSIDFromProgID("Zarn.Nothing", &found), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CLSIDFromProgID("CLSID\\" + CLSID_TestVariants.ToString(), &found), REGDB_E_CLASSNOTREG);
  std::string progId;
  EXPECT_EQ(ProgIDFromCLSID(CLSID_TestCalc, &progId), S_OK);
  EXPECT_EQ(progId, "Zarn.TestCalc.1");
  EXPECT_EQ(ProgIDFromCLSID(MakeGuid("{00000000-1111-2222-3333-444444444444}"), &progId), REGDB_E_CLASSNOTREG);
}

int main(int argc, char** argv) {
  sim::PrivateSessionBus bus;
  RegisterTestServer(bus);
  CoInitialize();
  QCoreApplication app(argc, argv);
  platform::dbus::RegisterInterface(TestCalcInfo(), MakeTestCalcProxy);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
