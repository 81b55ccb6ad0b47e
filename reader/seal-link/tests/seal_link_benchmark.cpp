// One log-page exchange (request, reply, MAC checks, decryption, page signature, all
// through the crypto service) against a simulated seal on a pseudo-terminal, which
// moves bytes without wire delay, next to the same exchange's time on a 9600 baud
// 8N1 line. Run by hand: seal_link_benchmark [--benchmark_repetitions=N ...].
#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "seal.h"
#include "seal_test_env.h"

namespace {

// A serial port that counts the bytes it moves, flags and escapes included.
class CountingPort : public TPort {
 public:
  explicit CountingPort(unsigned number) : TPort(DefaultPortTimeout), inner_(number) {}
  SealErrorCode SendByte(uint8_t b) override {
    ++bytes_;
    return inner_.SendByte(b);
  }
  SealErrorCode ReceiveByte(uint8_t& b) override {
    SealErrorCode e = inner_.ReceiveByte(b);
    if (e == 0) ++bytes_;
    return e;
  }
  SealErrorCode Open(TPortEvent afterSend, TPortEvent afterReceive) override {
    return inner_.Open(std::move(afterSend), std::move(afterReceive));
  }
  SealErrorCode Close() override { return inner_.Close(); }
  SealErrorCode Purge() override { return inner_.Purge(); }
  uint64_t Bytes() const { return bytes_; }

 protected:
  SealErrorCode ReceiveTimeoutCode() const override { return SealError::ReceiveTimeout; }

 private:
  TSerialPort inner_;
  uint64_t bytes_ = 0;
};

void LogPageExchange(benchmark::State& state) {
  const uint8_t major = uint8_t(state.range(0));
  sim::SealLinkSimulator link;
  sim::SimulatedSeal simulated(1234, major);
  simulated.Attach(link);
  sim::ScopedPortMap map({{7, link.ServePty()}});
  seal_test::TestWorld::Get().ServeKeyDatabase(true);
  seal_test::FreshDatabase();
  seal_test::StoreInDatabase(simulated.Keyset());

  CountingPort port(7);
  if (port.Open({}, {}) != 0) return state.SkipWithError("port did not open");
  TSeal seal(1234);
  TCryptoToken token;
  uint8_t raw[LogPageSize], plain[LogPageSize];
  std::string authenticity;
  if (seal.Initialize(port) != 0 || seal.ReadLogPage(port, token, 0, raw, plain, authenticity) != 0)
    return state.SkipWithError("the seal did not answer");

  const uint64_t before = port.Bytes();
  int64_t exchanges = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (seal.ReadLogPage(port, token, uint8_t(exchanges % 16), raw, plain, authenticity) != 0 ||
        authenticity != "authentic")
      return state.SkipWithError("exchange failed");
    ++exchanges;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double wireBytes = double(port.Bytes() - before) / double(exchanges);
  const double wireSeconds = wireBytes * 10 / 9600;  // 8N1: ten bits a byte
  state.counters["wire_bytes"] = wireBytes;
  state.counters["wire_ms"] = wireSeconds * 1000;
  // The exchange's own time as a share of its time on the wire.
  state.counters["percent_of_wire"] = 100 * seconds / double(exchanges) / wireSeconds;
  port.Close();
}

BENCHMARK(LogPageExchange)->Arg(2)->Arg(3)->ArgName("protocol")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  seal_test::TestWorld world;
  QCoreApplication app(argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  world.EndService();
  benchmark::Shutdown();
  return 0;
}
