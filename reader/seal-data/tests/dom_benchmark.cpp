// Opening a large seal data file against the crypto calls it makes: 10,000 full log
// pages of 100 seals with three key-sets each (half the seals in each block mode), a
// status record and a pad per key-set, through the real crypto service and its SQLite
// key database. Peak memory is the growth of the resident set while a file opens.
// Run by hand: build/reader/seal-data/tests/seal_data_benchmark
#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <malloc.h>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "dom.h"
#include "dom_test_util.h"
#include "dom_world.h"
#include "message_box.h"

namespace fs = std::filesystem;
using namespace dom_test;

namespace {

constexpr int Seals = 100, KeysetsPerSeal = 3, Pages = 10000;

struct Key {
  sim::SealKeyset keys;
  size_t block;
  std::vector<Page> raw;
  Status status;
  std::vector<uint8_t> pad;
};

struct Corpus {
  std::vector<Key> keys;
  fs::path folder, xml, zrd;
};

Corpus* corpus;

// Full pages of all three logs, signed and encrypted as the seals send them.
void Build(Corpus& c) {
  char name[] = "/tmp/zarn-dom-bench-XXXXXX";
  c.folder = ::mkdtemp(name);
  TZarnDocument doc;
  const TSealTime start = Time("2024-01-01", "08:00:00");
  int pages = 0;
  for (int s = 0; s < Seals; ++s) {
    for (int k = 0; k < KeysetsPerSeal; ++k) {
      const uint32_t serial = 100000 + uint32_t(s);
      Key key{sim::SealKeyset::Random(serial << 8 | uint32_t(k + 1), start + uint32_t(k)), s % 2 ? 16u : 8u, {}, {},
              {}};
      StoreKeyset(key.keys);
      doc.SelectKeyset(serial, key.keys.number, key.keys.time);
      const int count = (Pages - pages) / (Seals * KeysetsPerSeal - int(c.keys.size()));
      for (int p = 0; p < count; ++p, ++pages) {
        TSealTime t = start + uint32_t(p) * 65536 * 16;
        Page plain;
        switch (p % 3) {
          case 0: {
            std::vector<TSealTime> times;
            for (int i = 0; i < 12; ++i) times.push_back(t + uint32_t(i) * 65536);
            plain = SealEventPage(uint8_t(p % 16), times);
            break;
          }
          case 1: {
            std::vector<SystemEvent> events;
            for (int i = 0; i < 8; ++i) events.push_back({t + uint32_t(i) * 65536, uint16_t(1000 + i)});
            plain = SystemEventPage(uint8_t(16 + p % 16), events);
            break;
          }
          default: {
            std::vector<HealthSlot> entries;
            for (int i = 0; i < 6; ++i) entries.push_back({uint16_t(8000 + p * 6 + i), 0xFB, 30, 36, 35, 2, 9});
            plain = HealthPage(uint8_t(32 + p % 16), entries);
          }
        }
        sim::SealKey8 signature = sim::SealPageSignature(key.keys, key.block, plain);
        std::memcpy(plain.data() + 8, signature.data(), 8);
        Page raw = plain;
        sim::SealCipher(key.keys.Key(sim::Encryption), key.block, raw.data(), raw.size(), true);
        doc.AddLogPage(raw.data(), plain.data(), AuthenticText);
        key.raw.push_back(raw);
      }
      Status status = StatusRecord(start);
      key.status = status;
      sim::SealCipher(key.keys.Key(sim::Encryption), key.block, key.status.data(), key.status.size(), true);
      doc.AddStatus(key.status.data(), status.data());
      std::vector<uint8_t> pad = PadPages("pad of key-set " + std::to_string(k), 4);
      key.pad = pad;
      sim::SealCipher(key.keys.Key(sim::Encryption), key.block, key.pad.data(), key.pad.size(), true);
      doc.AddPad(key.pad.data(), 3, "pad of key-set " + std::to_string(k));
      c.keys.push_back(std::move(key));
    }
  }
  c.xml = c.folder / "bench.xml";
  c.zrd = c.folder / "bench.zrd";
  doc.SaveToFile(c.xml, true);
  doc.SaveToFile(c.zrd, false);
}

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return 0;
}

// Peak resident set since the last reset, and the reset (to the current set), after
// handing the heap's free memory back so the last document's pages do not hide growth.
void ResetPeak() {
  ::malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

// What the trees hold at most, counted at pugixml's allocator.
std::atomic<size_t> treeBytes{0}, treePeak{0};
void* CountedAllocate(size_t size) {
  void* p = std::malloc(size);
  if (p) {
    size_t now = treeBytes += ::malloc_usable_size(p);
    for (size_t peak = treePeak; now > peak && !treePeak.compare_exchange_weak(peak, now);) {
    }
  }
  return p;
}
void CountedDeallocate(void* p) {
  if (p) treeBytes -= ::malloc_usable_size(p);
  std::free(p);
}

void Open(benchmark::State& state, const fs::path& file) {
  long peakGrowth = 0;
  size_t treeMax = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ResetPeak();
    long before = StatusKb("VmRSS:");
    treePeak = treeBytes.load();
    state.ResumeTiming();
    {
      TZarnDocument doc;
      if (!doc.LoadFromFile(file)) state.SkipWithError("the file did not open");
      benchmark::DoNotOptimize(doc.Modified());
      state.PauseTiming();
      if (doc.WithDom([](const pugi::xml_document& d) {
            return d.select_nodes("//page/plain[@verified='authentic']").size();
          }) != size_t(Pages))
        state.SkipWithError("not every page checked out");
      state.ResumeTiming();
    }
    peakGrowth = std::max(peakGrowth, StatusKb("VmHWM:") - before);
    treeMax = std::max(treeMax, treePeak.load());
  }
  const double fileKb = double(fs::file_size(file)) / 1024;
  state.counters["file_MB"] = fileKb / 1024;
  state.counters["peak_MB"] = double(peakGrowth) / 1024;
  state.counters["peak_per_file"] = double(peakGrowth) / fileKb;
  state.counters["tree_MB"] = double(treeMax) / 1048576;
}

void OpenXml(benchmark::State& state) { Open(state, corpus->xml); }
void OpenZrd(benchmark::State& state) { Open(state, corpus->zrd); }

// The service calls opening makes, in its order, without the file and the tree: per key
// the selection, one decryption of all its pages in 8-byte blocks and a signature check
// of the first; a 16-byte key-set then decrypts its pages in 16-byte blocks and checks
// them all in three calls, an 8-byte one hashes each other page and encrypts the hashes
// in one call; then the pad and the status record.
void CryptoCallsAlone(benchmark::State& state) {
  size_t calls = 0;
  for (auto _ : state) {
    calls = 0;
    TCryptoToken token;
    for (const Key& key : corpus->keys) {
      token.SelectKeyset(key.keys.number, key.keys.time);
      const size_t n = key.raw.size();
      std::vector<uint8_t> plain(n * 64);
      for (size_t i = 0; i < n; ++i) std::memcpy(&plain[i * 64], key.raw[i].data(), 64);
      std::vector<uint8_t> plain16 = plain;
      token.DecryptData(plain.data(), uint32_t(n * 8));
      bool first = token.CheckPageSignature(plain.data()) == 0;
      calls += 3;
      if (!first) {
        token.DecryptData16(plain16.data(), uint32_t(n * 4));
        ++calls;
      }
      // The rest of the pages together, as opening checks them (without its workers).
      const size_t from = first ? 1 : 0;
      std::vector<SealErrorCode> verdicts(n - from, 0);
      if (first) {
        std::vector<uint8_t> values(8 * (n - from));
        for (size_t i = from; i < n; ++i) token.PageSignatureHash(&plain[i * 64], &values[8 * (i - from)]);
        token.CheckPageSignatureHashes(&plain[from * 64], values.data(), n - from, verdicts.data());
        calls += n - from + 1;
      } else {
        token.CheckPageSignatures16(plain16.data(), n, verdicts.data());
        calls += 3;
      }
      std::vector<uint8_t> pad(5 * 64, 0);
      std::memcpy(pad.data(), key.pad.data(), key.pad.size());
      Status status = key.status;
      if (first) {
        token.DecryptData(pad.data(), 5 * 8);
        token.DecryptData(status.data(), 12);
      } else {
        token.DecryptData16(pad.data(), 5 * 4);
        token.DecryptData16(status.data(), 6);
      }
      calls += 2;
    }
  }
  state.counters["calls"] = double(calls);
}

BENCHMARK(OpenXml)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(OpenZrd)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(CryptoCallsAlone)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  pugi::set_memory_management_functions(CountedAllocate, CountedDeallocate);
  World world;
  QCoreApplication app(argc, argv);
  platform::MessageBoxRecorder quiet;
  Corpus c;
  Build(c);
  corpus = &c;
  std::printf("%d pages, %zu key-sets; %s: %.1f MB, %s: %.1f MB\n", Pages, c.keys.size(), c.xml.c_str(),
              double(fs::file_size(c.xml)) / 1e6, c.zrd.c_str(), double(fs::file_size(c.zrd)) / 1e6);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  world.EndService();
  fs::remove_all(c.folder);
  return 0;
}
