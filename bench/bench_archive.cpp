// The raw archive and the attachment names of received mail:
// - appending 100 messages of 20 KB (and one sync, as a session does) to an empty archive
//   and to one of 10,000 messages: the cost must not grow with the archive;
// - reading one message with 1,000, 2,000 and 4,000 parts of one name: the time per part
//   must not grow with the number of parts.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "MboxArchive.h"
#include "MessageReader.h"

namespace {

constexpr int kLargeArchive = 10000;
constexpr int kBatch = 100;

std::map<std::string, double> g_seconds;

// A message of about 20 KB as its lines arrive, with a "From " line to quote.
const std::vector<std::string>& messageLines() {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> out{"From: sender@example.org\r\n", "Subject: archived\r\n", "\r\n",
                                 "From the start of a line.\r\n"};
    while (out.size() < 270) out.push_back("An ordinary line of text in the body of the message, some words.\r\n");
    return out;
  }();
  return lines;
}

void append(MboxArchive& archive) {
  archive.BeginMessage();
  for (const std::string& line : messageLines()) archive.Line(line);
  archive.EndMessage();
}

double appendBatch(MboxArchive& archive) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kBatch; ++i) append(archive);
  archive.Sync();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Empty and large archives take turns, so both meet the same disk load.
void BM_Append100EmptyThenLarge(benchmark::State& state) {
  std::vector<double> empty, large;
  for (auto _ : state) {
    state.PauseTiming();
    QTemporaryDir dir;
    MboxArchive big(dir.path().toStdString() + "/large.mbox");
    for (int i = 0; i < kLargeArchive; ++i) append(big);
    big.Sync();
    state.ResumeTiming();
    for (int round = 0; round < 7; ++round) {
      QTemporaryDir emptyDir;
      MboxArchive fresh(emptyDir.path().toStdString() + "/mailin.mbox");
      empty.push_back(appendBatch(fresh));
      large.push_back(appendBatch(big));
    }
  }
  g_seconds["empty"] = median(empty);
  g_seconds["large"] = median(large);
  state.counters["empty_ms"] = g_seconds["empty"] * 1e3;
  state.counters["large_ms"] = g_seconds["large"] * 1e3;
}

// One message with n parts named "same.txt" into a folder that already holds that name.
void BM_SameNamedParts(benchmark::State& state) {
  const int parts = static_cast<int>(state.range(0));
  std::vector<std::string> lines{"Content-Type: multipart/mixed; boundary=p\r\n", "\r\n", "--p\r\n", "\r\n",
                                 "text\r\n"};
  for (int i = 0; i < parts; ++i) {
    lines.push_back("--p\r\n");
    lines.push_back("Content-Type: text/plain; name=\"same.txt\"\r\n");
    lines.push_back("\r\n");
    lines.push_back("part\r\n");
  }
  lines.push_back("--p--\r\n");
  lines.push_back(".\r\n");
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    QTemporaryDir dir;
    TMailMessage message;
    TMessageReader reader(message);
    reader.AttachFilePath = dir.path().toStdString() + "/";
    size_t next = 0;
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    reader.Read([&] { return lines[next++]; });
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (message.Attachments.Count() != parts) std::abort();
  }
  g_seconds["parts" + std::to_string(parts)] = seconds;
  state.counters["us_per_part"] = seconds / parts * 1e6;
}

}  // namespace

BENCHMARK(BM_Append100EmptyThenLarge)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SameNamedParts)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_seconds.count("empty") && g_seconds["empty"] > 0) {
    std::printf(
        "append 100 x 20 KB + sync: empty archive %.1f ms, 10,000-message archive %.1f ms, ratio %.2f "
        "(goal: about 1)\n",
        g_seconds["empty"] * 1e3, g_seconds["large"] * 1e3, g_seconds["large"] / g_seconds["empty"]);
  }
  if (g_seconds.count("parts1000") && g_seconds.count("parts4000")) {
    std::printf("same-named parts: 1,000 in %.0f ms, 4,000 in %.0f ms, ratio %.2f (linear: about 4)\n",
                g_seconds["parts1000"] * 1e3, g_seconds["parts4000"] * 1e3,
                g_seconds["parts4000"] / g_seconds["parts1000"]);
  }
  return 0;
}
