// Calls of an outside client into zarn over the session bus, next to a bare round trip
// to the same process. zarn is started by activation on a private bus. Run by hand:
// zarn_server_benchmark [--benchmark_repetitions=N ...]; needs no display.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "activation.h"
#include "registry.h"
#include "seal_test_env.h"
#include "setup_trees.h"
#include "zarn.h"

namespace {

ComPtr<IDispatch> Create(const char* progId) {
  ComPtr<IDispatch> object;
  if (FAILED(CoCreateInstance(progId, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, object.PutVoid()))) std::abort();
  return object;
}

HRESULT Call(IDispatch* object, DISPID id, uint16_t flags, Variant* result = nullptr) {
  DISPPARAMS none;
  return object->Invoke(id, GUID{}, 0, flags, &none, result, nullptr, nullptr);
}

// What every call costs at least: a message to zarn's connection and its answer.
void BareRoundTrip(benchmark::State& state) {
  ComPtr<IDispatch> keepRunning = Create("Zarn.ZarnReaderSession");
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString owner = bus.interface()->serviceOwner(ZarnBusName);
  for (auto _ : state) {
    QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(owner, "/", "org.freedesktop.DBus.Peer", "Ping"));
    if (reply.type() != QDBusMessage::ReplyMessage) state.SkipWithError("no answer");
  }
}

// A property get of the session: text from the main window's settings.
void SessionOperator1(benchmark::State& state) {
  ComPtr<IDispatch> session = Create("Zarn.ZarnReaderSession");
  for (auto _ : state) {
    Variant value;
    if (FAILED(Call(session.Get(), 5, DISPATCH_PROPERTYGET, &value))) state.SkipWithError("failed");
  }
}

// A seal object of a client's own answers SerialNumber with E_FAIL: the same way there and back.
void SealSerialNumber(benchmark::State& state) {
  ComPtr<IDispatch> seal = Create("Zarn.ZarnReaderSeal");
  for (auto _ : state) {
    Variant value;
    Call(seal.Get(), 1, DISPATCH_PROPERTYGET, &value);
  }
}

BENCHMARK(BareRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);
BENCHMARK(SessionOperator1)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);
BENCHMARK(SealSerialNumber)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  seal_test::TestWorld world;
  QApplication app(argc, argv);
  {
    platform::Registry settings;
    settings.OpenKey(std::string("\\") + SettingsKeyPath, true);
    settings.WriteBool("ShowDialog", false);
    settings.WriteString("Operator1", "JS");
  }
  if (std::system(ZARN_PATH " /RegServer") != 0) return 1;
  CoInitialize();
  benchmark::RunSpecifiedBenchmarks();
  {
    ComPtr<IDispatch> session = Create("Zarn.ZarnReaderSession");
    Variant none;
    DISPPARAMS params;
    session->Invoke(19, GUID{}, 0, DISPATCH_METHOD, &params, &none, nullptr, nullptr);  // Silent
    session->Invoke(11, GUID{}, 0, DISPATCH_METHOD, &params, &none, nullptr, nullptr);  // Close
  }
  CoUninitialize();
  world.EndService();
  return 0;
}
