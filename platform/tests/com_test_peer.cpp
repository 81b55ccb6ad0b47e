// The other process of the bus transport tests: "serve" runs the test class's server,
// "hold N" creates N objects of it, says "ready" and waits to be killed.
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "com_test_calc.h"
#include "local_client.h"
#include "local_server.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
    platform::dbus::LocalServer server(TestBusName);
    server.RegisterClassObject(CLSID_TestCalc, new CTestCalcFactory);
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
  return 2;
}
