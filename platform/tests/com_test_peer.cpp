// The other process of the bus transport tests: "-Embedding" (as the bus starts it) runs
// the test classes' server ("-Embedding TYPEINFO CALL" with those bounds, in milliseconds,
// on its clients' answers), "hold N" creates N objects of it, says "ready" and waits to
// be killed; "call-back" passes an object of its own to the server, says "ready" and
// waits to be killed.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "com_test_calc.h"
#include "com_test_variants.h"
#include "local_client.h"
#include "local_server.h"
#include "object_broker.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "-Embedding") == 0) {
    platform::dbus::LocalServer server(TestBusName);
    server.RegisterClassObject(CLSID_TestCalc, new CTestCalcFactory);
    server.RegisterClassObject(CLSID_TestVariants, new CTestVariantsFactory);
    if (argc >= 4)
      platform::dbus::ObjectBroker::For(server.Connection()).SetClientTimeouts({std::atoi(argv[2]), std::atoi(argv[3])});
    QObject::connect(&server, &platform::dbus::LocalServer::busLost, &app, &QCoreApplication::quit);
    HRESULT hr = server.Start();
    if (FAILED(hr)) return int(uint32_t(hr) & 0xFFFF);
    return app.exec();
  }
  if (argc >= 3 && std::strcmp(argv[1], "hold") == 0) {
    platform::dbus::RegisterInterface(TestCalcInfo(), MakeTestCalcProxy);
    std::vector<ComPtr<ITestCalc>> held(size_t(std::atoi(argv[2])));
    for (auto& calc : held)
      if (FAILED(platform::dbus::CreateLocalInstance(TestBusName, CLSID_TestCalc, IID_ITestCalc, calc.PutVoid())))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    ::pause();
  }
  if (argc >= 2 && std::strcmp(argv[1], "call-back") == 0) {
    // Gives the server an object of this process to keep, then dies holding the server's.
    ComPtr<IDispatch> server;
    if (FAILED(platform::dbus::CreateLocalInstance(TestBusName, CLSID_TestVariants, IID_IDispatch, server.PutVoid())))
      return 1;
    ComPtr<IDispatch> mine;
    if (FAILED(CTestVariantsFactory().CreateInstance(nullptr, IID_IDispatch, mine.PutVoid()))) return 1;
    DISPPARAMS put{{Variant(mine)}, {DISPID_PROPERTYPUT}};
    if (FAILED(server->Invoke(3, IID_IDispatch, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr))) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    ::pause();
  }
  return 2;
}
