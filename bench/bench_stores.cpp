// The cost of storing messages into the inbox store, empty and holding 10,000 messages of
// 40 lines, and the start-up with that store. The peer is the whole-file rewrite that a
// store without appends would do for every message.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

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
    m.Body.push_back("Body line " + std::to_string(i) + " of message " + std::to_string(n) + ", some ordinary text.");
  return m;
}

const std::string& largeStoreFile() {
  static const std::string bytes = [] {
    QTemporaryDir dir;
    InboxStore store(dir.path().toStdString() + "/mailin.txt");
    store.Load();
    for (int i = 0; i < kLargeStore; ++i)
      store.AddRecord({{message(i).From}, {message(i).Subject}, message(i).Header, message(i).Body, {}});
    return store.Tree().Serialize();
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

void record(benchmark::State& state, const std::string& name, double seconds) {
  g_seconds[name] = seconds / static_cast<double>(state.iterations());
  state.counters["ms_per_message"] = benchmark::Counter(g_seconds[name] * 1000.0 / kBatch);
}

void storeBatch(benchmark::State& state, bool large, const std::string& name) {
  double total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Folder folder(large);
    InboxStore store(folder.path("mailin.txt"));
    store.Load();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) store.Store(message(kLargeStore + i));
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    if (store.Count() != (large ? kLargeStore : 0) + kBatch) state.SkipWithError("store lost a message");
    state.ResumeTiming();
  }
  record(state, name, total);
}

void BM_Store100IntoEmptyStore(benchmark::State& state) {
  storeBatch(state, false, "empty");
}
void BM_Store100IntoLargeStore(benchmark::State& state) {
  storeBatch(state, true, "large");
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
  record(state, "rewrite", total);
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
    if (window.pophistlist->topLevelItemCount() != kLargeStore || !dialogs.errors().empty())
      state.SkipWithError("start-up did not list the store");
  }
  g_seconds["startup"] = total / static_cast<double>(state.iterations());
}

BENCHMARK(BM_Store100IntoEmptyStore)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Store100IntoLargeStore)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Store100IntoLargeStoreByRewrite)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LoadLargeStore)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WindowStartUpWithLargeStore)->Unit(benchmark::kMillisecond)->Iterations(3);

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
  std::printf("peer, whole rewrite per message into the large store: %.1f ms, %.1fx our append\n",
              figure("rewrite") * 1e3, figure("large") > 0 ? figure("rewrite") / figure("large") : 0.0);
  std::printf("start-up with the large store: load %.1f ms, whole window with its list %.1f ms\n", figure("load") * 1e3,
              figure("startup") * 1e3);
  return 0;
}
