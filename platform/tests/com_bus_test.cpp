#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "com_test_calc.h"
#include "dbus_marshal.h"
#include "local_client.h"
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

  EXPECT_EQ(calc->put_Name(Bstr::FromUtf8("Zürich ✓")), S_OK);
  Bstr name;
  EXPECT_EQ(calc->get_Name(&name), S_OK);
  EXPECT_EQ(name.Utf8(), "Zürich ✓");

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
  int status = std::system(COM_TEST_PEER " serve");
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

int main(int argc, char** argv) {
  sim::PrivateSessionBus bus;
  bus.AddService(TestBusName, COM_TEST_PEER " serve");
  QCoreApplication app(argc, argv);
  platform::dbus::RegisterInterface(TestCalcInfo(), MakeTestCalcProxy);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
