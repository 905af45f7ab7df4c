// Throughput of TZnUUProcessor on 64 MB, from memory and from files, beside plain
// copies of the same bytes as the peer. Also a driver for coder_vs_coreutils.sh:
//   bench_coder --encode IN OUT [uu]    bench_coder --decode IN OUT [uu]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "ZnUUE.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kSize = 64 * 1024 * 1024;

const std::string& randomData() {
  static const std::string data = [] {
    std::mt19937_64 rng(64);
    std::string bytes(kSize, '\0');
    for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
      const uint64_t v = rng();
      std::memcpy(&bytes[i], &v, 8);
    }
    return bytes;
  }();
  return data;
}

std::string coded(UUMethods method) {
  TMemoryStream in, out;
  in.SetData(randomData());
  TZnUUProcessor coder;
  coder.Method = method;
  coder.InputStream = &in;
  coder.OutputStream = &out;
  coder.Encode();
  return out.Data();
}

void run(UUMethods method, bool encode, TStream& in, TStream& out) {
  TZnUUProcessor coder;
  coder.Method = method;
  coder.InputStream = &in;
  coder.OutputStream = &out;
  encode ? coder.Encode() : coder.Decode();
}

// Scratch files for the file benchmarks, removed at exit.
struct Scratch {
  fs::path dir;
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
  }
  ~Scratch() { fs::remove_all(dir); }
  std::string file(const std::string& name, const std::string& bytes) {
    const std::string path = (dir / name).string();
    if (!fs::exists(path)) {
      TFileStream f(path, TFileStream::fmCreate);
      f.WriteString(bytes);
    }
    return path;
  }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

void BM_Memcpy(benchmark::State& state) {
  const std::string& data = randomData();
  std::string copy(data.size(), '\0');
  for (auto _ : state) {
    std::memcpy(copy.data(), data.data(), data.size());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_CopyFile(benchmark::State& state) {
  const std::string in = scratch().file("raw", randomData());
  for (auto _ : state) {
    TFileStream source(in, TFileStream::fmOpenRead);
    TFileStream target((scratch().dir / "copy").string(), TFileStream::fmCreate);
    target.CopyFrom(source, 0);
    target.Flush();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_EncodeMemory(benchmark::State& state) {
  const auto method = static_cast<UUMethods>(state.range(0));
  TMemoryStream in, out;
  in.SetData(randomData());
  // The output is overwritten in place, so the run measures the coder, not memory growth.
  for (auto _ : state) {
    out.SetPosition(0);
    run(method, true, in, out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_DecodeMemory(benchmark::State& state) {
  const auto method = static_cast<UUMethods>(state.range(0));
  TMemoryStream in;
  in.SetData(coded(method));
  TMemoryStream out;
  for (auto _ : state) {
    in.SetPosition(0);
    out.SetPosition(0);
    run(method, false, in, out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_EncodeFile(benchmark::State& state) {
  const auto method = static_cast<UUMethods>(state.range(0));
  const std::string in = scratch().file("raw", randomData());
  for (auto _ : state) {
    TFileStream source(in, TFileStream::fmOpenRead);
    TFileStream target((scratch().dir / "encoded").string(), TFileStream::fmCreate);
    run(method, true, source, target);
    target.Flush();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_DecodeFile(benchmark::State& state) {
  const auto method = static_cast<UUMethods>(state.range(0));
  const std::string in = scratch().file(method == uuMime ? "mime" : "uu", coded(method));
  for (auto _ : state) {
    TFileStream source(in, TFileStream::fmOpenRead);
    TFileStream target((scratch().dir / "decoded").string(), TFileStream::fmCreate);
    run(method, false, source, target);
    target.Flush();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodeMemory)->Arg(uuMime)->Arg(uuCode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeMemory)->Arg(uuMime)->Arg(uuCode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeFile)->Arg(uuMime)->Arg(uuCode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeFile)->Arg(uuMime)->Arg(uuCode)->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints, after the usual table, each coder run's throughput as a share of its peer:
// memory runs against memcpy, file runs against a plain file copy.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration) rates_[r.benchmark_name()] = r.counters.at("bytes_per_second");
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-28s %10s %8s\n", "run", "MB/s", "of peer");
    for (const auto& [name, rate] : rates_) {
      const bool file = name.find("File") != std::string::npos;
      const auto peer = rates_.find(file ? "BM_CopyFile/real_time" : "BM_Memcpy");
      if (peer == rates_.end())
        std::printf("%-28s %10.0f %8s\n", name.c_str(), rate / 1e6, "-");
      else
        std::printf("%-28s %10.0f %7.2fx\n", name.c_str(), rate / 1e6, rate / peer->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

int drive(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s --encode|--decode IN OUT [uu]\n", argv[0]);
    return 2;
  }
  const bool encode = std::strcmp(argv[1], "--encode") == 0;
  const UUMethods method = argc > 4 && std::strcmp(argv[4], "uu") == 0 ? uuCode : uuMime;
  try {
    TFileStream in(argv[2], TFileStream::fmOpenRead);
    TFileStream out(argv[3], TFileStream::fmCreate);
    run(method, encode, in, out);
    out.Flush();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--encode") == 0 || std::strcmp(argv[1], "--decode") == 0))
    return drive(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
