// A read-out of about 300 log pages from a simulated seal on a pseudo-terminal: through
// RunAction with the main window shown (worker thread, waiting window thread, progress
// bar), next to the same pages read by TSeal alone on the calling thread. Run by hand:
// zarn_readout_benchmark [--benchmark_repetitions=N ...]; needs no display.
#include <QApplication>
#include <benchmark/benchmark.h>

#include <memory>

#include "actions.h"
#include "main_form.h"
#include "registry.h"
#include "seal_link_sim.h"
#include "seal_test_env.h"
#include "zarn_startup.h"

namespace {

constexpr uint32_t Serial = 4242;
// Two read-outs of 150 seal-event pages and the current system-event page each.
constexpr int ReadoutsPerRun = 2;
constexpr uint8_t SealEventPages = 150;

struct Bench {
  sim::SealLinkSimulator link;
  sim::SimulatedSeal seal{Serial, 3};
  std::unique_ptr<sim::ScopedPortMap> map;

  Bench() {
    seal.Attach(link);
    seal.SetLogPages(sim::SealLog::SealEvents, 0, SealEventPages - 1);
    seal.SetLogPages(sim::SealLog::SystemEvents, SealEventPages, SealEventPages + 15);
    seal.SetLogPages(sim::SealLog::Health, SealEventPages + 16, SealEventPages + 31);
    for (uint32_t t = 1; t <= SealEventPages * 12u; ++t) seal.AddSealEvent(1000 + t);
    map = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{7, link.ServePty()}});
    seal_test::TestWorld::Get().ServeKeyDatabase(true);
    seal_test::FreshDatabase();
    seal_test::StoreInDatabase(seal.Keyset());
  }
};

void ThroughRunAction(benchmark::State& state) {
  Bench bench;
  platform::Registry().DeleteKey(std::string("\\") + SettingsKeyPath + "\\ShowDialog");
  TMainForm form;
  form.Options().showDialog = false;
  form.show();
  QApplication::processEvents();
  TTreeNode* port = nullptr;
  for (int i = 0; i < form.Trees().RootNode()->childCount(); ++i)
    if (form.Trees().RootNode()->child(i)->text(0) == "COM7") port = form.Trees().RootNode()->Child(i);
  if (!port) return state.SkipWithError("COM7 is not in the setup");
  TTreeNode* node = form.Trees().AddSeal(Serial, port);
  TActionParams p;
  p.Seal = node->seal->NativeSeal();
  p.Port = port->port;
  p.SealEventsToRead = SealEventPages * 12;
  if (!RunAction(ChallengeThread, p)) return state.SkipWithError("the seal did not answer");
  for (auto _ : state)
    for (int i = 0; i < ReadoutsPerRun; ++i)
      if (!RunAction(ReadoutThread, p)) return state.SkipWithError("read-out failed");
  state.counters["pages"] = ReadoutsPerRun * (SealEventPages + 1);
}

void ThroughTSealAlone(benchmark::State& state) {
  Bench bench;
  TZarnDocument document;
  TSerialPort port(7);
  TSeal seal(Serial);
  if (port.Open({}, {}) != 0 || seal.Initialize(port) != 0) return state.SkipWithError("the seal did not answer");
  port.Close();
  uint8_t info[LogInfoSize], raw[LogPageSize], plain[LogPageSize];
  std::string authenticity;
  for (auto _ : state) {
    for (int i = 0; i < ReadoutsPerRun; ++i) {
      TCryptoToken token;  // each read-out's own client, as each operation thread has
      const TSealFields f = seal.Snapshot();
      document.SelectKeyset(Serial, f.keysetNumber, f.keysetTime);
      port.Open({}, {});
      seal.GetLogInfo(port, token, info);
      for (int page = info[7]; page >= info[4]; --page) {
        if (seal.ReadLogPage(port, token, uint8_t(page), raw, plain, authenticity) != 0)
          return state.SkipWithError("page read failed");
        document.AddLogPage(raw, plain, authenticity);
      }
      seal.ReadLogPage(port, token, info[15], raw, plain, authenticity);
      document.AddLogPage(raw, plain, authenticity);
      port.Close();
    }
  }
  state.counters["pages"] = ReadoutsPerRun * (SealEventPages + 1);
}

BENCHMARK(ThroughTSealAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(ThroughRunAction)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  seal_test::TestWorld world;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TZarnStartup startup(argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  world.EndService();
  benchmark::Shutdown();
  return 0;
}
