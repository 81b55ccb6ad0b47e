// What a crypto call costs a client: one Encrypt of four 16-byte blocks in the service's
// process over the session bus, the same call in-process, and a bare bus round trip.
// Run by hand: build/crypto-service/bench/crypto_bench
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>

#include "activation.h"
#include "brisel.h"
#include "local_client.h"
#include "private_bus.h"
#include "registry.h"
#include "zarn_crypto.h"

namespace {

ComPtr<IZarnCrypto> remote;

void EncryptFourBlocks(benchmark::State& state, IZarnCrypto* crypto) {
  Bstr data = Bstr::FromBytes(std::string(64, '\x5A'));
  for (auto _ : state) {
    if (crypto->Encrypt(0, 0, int32_t(3 | KeysetKeyAes), &data, 4) != S_OK) state.SkipWithError("Encrypt failed");
    benchmark::DoNotOptimize(data.Bytes());
  }
}

void RemoteEncrypt(benchmark::State& state) { EncryptFourBlocks(state, remote.Get()); }

void LocalEncrypt(benchmark::State& state) {
  KeyDatabaseSource none;
  ComPtr<CZarnCrypto> crypto(new CZarnCrypto(nullptr, none));
  crypto->FinalConstruct();
  EncryptFourBlocks(state, crypto.Get());
}

void BusRoundTrip(benchmark::State& state) {
  auto ping = QDBusMessage::createMethodCall(BriselBusName, "/", "org.freedesktop.DBus.Peer", "Ping");
  for (auto _ : state)
    if (QDBusConnection::sessionBus().call(ping).type() != QDBusMessage::ReplyMessage) state.SkipWithError("no reply");
}

BENCHMARK(RemoteEncrypt);
BENCHMARK(LocalEncrypt);
BENCHMARK(BusRoundTrip);

}  // namespace

int main(int argc, char** argv) {
  char registry[] = "/tmp/zarn-bench-registry-XXXXXX";
  ::setenv(platform::RegistryDirVariable, ::mkdtemp(registry), 1);
  sim::PrivateSessionBus bus;
  ::setenv(platform::ActivationDirectoryVariable, bus.ServiceDirectory().c_str(), 1);
  if (std::system(BRISEL_PATH " -RegServer") != 0) return 1;
  QCoreApplication app(argc, argv);
  platform::dbus::RegisterInterface(ZarnCryptoInterfaceInfo(), MakeZarnCryptoProxy);
  CoInitialize();
  if (FAILED(CoCreateInstance(CLSID_ZarnCrypto, nullptr, CLSCTX_LOCAL_SERVER, IID_IZarnCrypto, remote.PutVoid())))
    return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  remote.Reset();
  std::system("pkill -TERM -f '" BRISEL_PATH " -Embedding'");
  std::filesystem::remove_all(registry);
  return 0;
}
