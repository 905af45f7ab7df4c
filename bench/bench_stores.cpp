// The cost of storing messages into the inbox store, empty and holding 10,000 messages of
// 40 lines, and the start-up with that store. The peer is the whole-file rewrite that a
// store without appends would do for every message.
#include <benchmark/benchmark.h>

#include <QAbstractItemModel>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "InboxStore.h"
#include "ScriptedDialogs.h"
#include "Streams.h"
#include "corvane.h"

namespace fs = std::filesystem;

namespace {

constexpr int kLargeStore = 10000;
constexpr int kBatch = 100;

// Seconds per iteration of each benchmark, for the ratios printed at the end.
std::map<std::string, double> g_seconds;

// 40 lines in the file: record, five labels, sender, subject, 12 header and 20 body lines.
InboxMessage message(int n) {
  InboxMessage m;
  m.From = "Sender " + std::to_string(n) + " <sender" + std::to_string(n) + "@example.org>";
  m.Subject = "Subject of message " + std::to_string(n);
  for (int i = 0; i < 12; ++i) m.Header.push_back("X-Header-" + std::to_string(i) + ": value " + std::to_string(n));
  for (int i = 0; i < 20; ++i)
    m.Body.Add("Body line " + std::to_string(i) + " of message " + std::to_string(n) + ", some ordinary text.");
  return m;
}

const std::string& largeStoreFile() {
  static const std::string bytes = [] {
    QTemporaryDir dir;
    InboxStore store(dir.path().toStdString() + "/mailin.txt");
    store.Load();
    for (int i = 0; i < kLargeStore; ++i)
      store.AddRecord({{message(i).From}, {message(i).Subject}, message(i).Header, message(i).Body, {}});
    return store.Serialized();
  }();
  return bytes;
}

// A folder holding a store of the given number of messages, written before timing starts.
struct Folder {
  QTemporaryDir dir;
  std::string path(const char* name) const { return dir.path().toStdString() + "/" + name; }
  explicit Folder(bool large) {
    if (large) corvane::WriteFileAtomically(path("mailin.txt"), largeStoreFile());
  }
};

struct Timing {
  double wall = 0;
  double cpu = 0;
};

Timing storeBatch(InboxStore& store) {
  const int before = store.Count();
  const auto wall = std::chrono::steady_clock::now();
  const std::clock_t cpu = std::clock();
  for (int i = 0; i < kBatch; ++i) store.Store(message(kLargeStore + i));
  Timing t{std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(),
           static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC};
  if (store.Count() != before + kBatch) std::abort();
  return t;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Empty and large stores take turns, so both meet the same disk load; each figure is the
// median of the rounds, since a single fsync can wait on other processes' writes.
void BM_Store100EmptyThenLarge(benchmark::State& state) {
  std::vector<double> emptyWall, largeWall, emptyCpu, largeCpu;
  for (auto _ : state) {
    // One large store that grows by 100 a round (10,000 to 10,700): removing a 15 MB file
    // between rounds would load the disk the next batch is timed on.
    Folder largeFolder(true);
    InboxStore large(largeFolder.path("mailin.txt"));
    large.Load();
    for (int round = 0; round < 7; ++round) {
      Folder emptyFolder(false);
      InboxStore empty(emptyFolder.path("mailin.txt"));
      empty.Load();
      const Timing e = storeBatch(empty);
      const Timing l = storeBatch(large);
      emptyWall.push_back(e.wall);
      emptyCpu.push_back(e.cpu);
      largeWall.push_back(l.wall);
      largeCpu.push_back(l.cpu);
    }
  }
  g_seconds["empty"] = median(emptyWall);
  g_seconds["large"] = median(largeWall);
  g_seconds["emptyCpu"] = median(emptyCpu);
  g_seconds["largeCpu"] = median(largeCpu);
  state.counters["empty_ms"] = g_seconds["empty"] * 1e3;
  state.counters["large_ms"] = g_seconds["large"] * 1e3;
}

// The peer: the same 100 messages, each followed by a whole rewrite of the large store.
void BM_Store100IntoLargeStoreByRewrite(benchmark::State& state) {
  double total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Folder folder(true);
    InboxStore store(folder.path("mailin.txt"));
    store.Load();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) {
      const InboxMessage m = message(kLargeStore + i);
      store.AddRecord({{m.From}, {m.Subject}, m.Header, m.Body, {}});
      store.Save();
    }
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  g_seconds["rewrite"] = total / static_cast<double>(state.iterations());
}

void BM_LoadLargeStore(benchmark::State& state) {
  Folder folder(true);
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    InboxStore store(folder.path("mailin.txt"));
    store.Load();
    benchmark::DoNotOptimize(store.Count());
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  g_seconds["load"] = total / static_cast<double>(state.iterations());
}

// The window's whole start-up over the large store: load, list, settings, address book.
void BM_WindowStartUpWithLargeStore(benchmark::State& state) {
  Folder folder(true);
  double total = 0;
  for (auto _ : state) {
    ScriptedDialogs dialogs;
    const auto start = std::chrono::steady_clock::now();
    Tpopform window(folder.path("corvane"), dialogs);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (window.pophistlist->model()->rowCount() != kLargeStore || !dialogs.errors().empty())
      state.SkipWithError("start-up did not list the store");
  }
  g_seconds["startup"] = total / static_cast<double>(state.iterations());
}

// Reading the large store when its index is missing: the one scan that makes the index.
void BM_ReadLargeStoreWithoutIndex(benchmark::State& state) {
  Folder folder(true);
  double total = 0;
  for (auto _ : state) {
    ::unlink(folder.path("mailin.txt.index").c_str());
    const auto start = std::chrono::steady_clock::now();
    InboxStore store(folder.path("mailin.txt"));
    store.Load();
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (store.Count() != kLargeStore) state.SkipWithError("the reading lost records");
  }
  g_seconds["scan"] = total / static_cast<double>(state.iterations());
  state.counters["MB_per_s"] = static_cast<double>(largeStoreFile().size()) / 1e6 / g_seconds["scan"];
}

BENCHMARK(BM_Store100EmptyThenLarge)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Store100IntoLargeStoreByRewrite)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LoadLargeStore)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WindowStartUpWithLargeStore)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadLargeStoreWithoutIndex)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const auto figure = [](const char* name) { return g_seconds.count(name) ? g_seconds[name] : 0.0; };
  std::printf("\nstore file of %d messages: %.1f MB\n", kLargeStore, largeStoreFile().size() / 1e6);
  std::printf("storing %d messages: empty store %.1f ms, %d-message store %.1f ms, ratio large/empty %.2f\n", kBatch,
              figure("empty") * 1e3, kLargeStore, figure("large") * 1e3,
              figure("empty") > 0 ? figure("large") / figure("empty") : 0.0);
  std::printf("  cpu time of those batches: empty %.1f ms, large %.1f ms, ratio %.2f\n", figure("emptyCpu") * 1e3,
              figure("largeCpu") * 1e3, figure("emptyCpu") > 0 ? figure("largeCpu") / figure("emptyCpu") : 0.0);
  std::printf("peer, whole rewrite per message into the large store: %.1f ms, %.1fx our append\n",
              figure("rewrite") * 1e3, figure("large") > 0 ? figure("rewrite") / figure("large") : 0.0);
  std::printf("start-up with the large store: load %.1f ms, whole window with its list %.1f ms\n", figure("load") * 1e3,
              figure("startup") * 1e3);
  std::printf("reading the large store without its index: %.1f ms, %.0f MB/s\n", figure("scan") * 1e3,
              figure("scan") > 0 ? static_cast<double>(largeStoreFile().size()) / 1e6 / figure("scan") : 0.0);
  return 0;
}
