// Two ways to measure the POP3 receive path.
//
//   bench_pop3_fetch --fetch --port P --user U --pass W --dir FOLDER [--host H]
//                    [--security none|starttls|ssl] [--cafile PEM]
//       Connects to a real server, retrieves every message with TZnPOP3 (attachments into
//       FOLDER), and prints one line: messages, seconds, and the resident memory before
//       connecting and at its peak. Used by pop3_vs_peers.sh and tls_vs_curl.sh.
//
//   bench_pop3_fetch [Google Benchmark flags]
//       The message reader alone on in-memory messages, against a plain copy of the same
//       lines into a file as the floor.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "MessageReader.h"
#include "Streams.h"
#include "TlsOptions.h"
#include "Znpop3.h"

namespace {

using bench::argument;
using bench::memoryKiB;

int fetch(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  TZnPOP3 pop;
  pop.Host = argument(argc, argv, "--host", "127.0.0.1");
  pop.Port = std::stoi(argument(argc, argv, "--port", "110"));
  pop.UserID = argument(argc, argv, "--user");
  pop.Password = argument(argc, argv, "--pass");
  pop.AttachFilePath = argument(argc, argv, "--dir", ".") + "/";
  pop.TimeOut = 60000;
  std::string why;
  if (!ApplySecurity(pop, argument(argc, argv, "--security", "none"), argument(argc, argv, "--cafile"), &why)) {
    std::cerr << why << "\n";
    return 2;
  }

  // Time from the start of each decoding to the end of its retrieval: the part of the
  // work that does not overlap with the server's sending.
  using Clock = std::chrono::steady_clock;
  double decodeSeconds = 0;
  Clock::time_point decodeStart{};
  pop.ReportLevel = 1;
  pop.OnStatus = [&](TObject*, const std::string& text) {
    if (text == "Decoding file") decodeStart = Clock::now();
  };
  pop.OnRetrieveEnd = [&](TObject*) {
    if (decodeStart != Clock::time_point{})
      decodeSeconds += std::chrono::duration<double>(Clock::now() - decodeStart).count();
    decodeStart = {};
  };

  const long startKiB = memoryKiB("VmRSS:");
  const auto start = Clock::now();
  try {
    pop.Connect();
    for (int i = 1; i <= pop.MessageCount(); ++i) pop.RetrieveMessage(i);
    pop.Disconnect();
  } catch (const std::exception& e) {
    std::cerr << "fetch failed: " << e.what() << "\n";
    return 1;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("messages=%d seconds=%.3f decode_tail_seconds=%.3f start_rss_kib=%ld peak_rss_kib=%ld\n",
              pop.MessageCount(), seconds, decodeSeconds, startKiB, memoryKiB("VmHWM:"));
  return 0;
}

// A multipart message with a text part and one base64 attachment of attachmentBytes.
std::vector<std::string> sampleMessage(size_t attachmentBytes) {
  std::vector<std::string> lines = {"From: a@example.org\r\n",
                                    "Subject: sample\r\n",
                                    "Content-Type: multipart/mixed; boundary=\"sep\"\r\n",
                                    "\r\n",
                                    "--sep\r\n",
                                    "\r\n"};
  for (int i = 0; i < 50; ++i) lines.push_back("A line of the text part, long enough to look like prose.\r\n");
  lines.insert(lines.end(), {"--sep\r\n", "Content-Type: application/octet-stream; name=\"a.bin\"\r\n",
                             "Content-Transfer-Encoding: base64\r\n", "\r\n"});
  const std::string coded(76, 'Q');
  for (size_t done = 0; done < attachmentBytes; done += 57) lines.push_back(coded + "\r\n");
  lines.push_back("--sep--\r\n");
  lines.push_back(".\r\n");
  return lines;
}

// Reads the message's lines once each round; its file, if any, goes again after each.
void readEachRound(benchmark::State& state, const std::vector<std::string>& lines) {
  QTemporaryDir dir;
  TMailMessage message;
  TMessageReader reader(message);
  reader.AttachFilePath = dir.path().toStdString() + "/";
  int64_t bytes = 0;
  for (const std::string& line : lines) bytes += static_cast<int64_t>(line.size());
  for (auto _ : state) {
    size_t next = 0;
    reader.Reset();
    reader.Read([&] { return lines[next++]; });
    for (const std::string& name : message.Attachments.Items()) std::remove((reader.AttachFilePath + name).c_str());
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_ReadMessage(benchmark::State& state) {
  readEachRound(state, sampleMessage(static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_ReadMessage)->Arg(20 << 10)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

// A single-part text message of about 4 MB shown as the body: base64 plain text (range 0),
// whose start is judged before it is decoded, or quoted-printable HTML full of links
// (range 1), whose addresses are kept in the text.
std::vector<std::string> codedTextMessage(bool html) {
  std::vector<std::string> lines = {
      "From: a@example.org\r\n", "Subject: sample\r\n",
      html ? "Content-Type: text/html; charset=utf-8\r\n" : "Content-Type: text/plain; charset=utf-8\r\n",
      html ? "Content-Transfer-Encoding: quoted-printable\r\n" : "Content-Transfer-Encoding: base64\r\n", "\r\n"};
  const std::string line = html ? "<p>See <a href=3D\"https://example.org/a?b=3Dc\">the page</a> for more.</p>\r\n"
                                : std::string(76, 'Q') + "\r\n";
  for (size_t done = 0; done < (4u << 20); done += line.size()) lines.push_back(line);
  lines.push_back(".\r\n");
  return lines;
}

void BM_ReadCodedText(benchmark::State& state) {
  readEachRound(state, codedTextMessage(state.range(0) == 1));
}
BENCHMARK(BM_ReadCodedText)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The floor: the same lines written once to a file, nothing parsed or decoded.
void BM_CopyLinesToFile(benchmark::State& state) {
  const std::vector<std::string> lines = sampleMessage(static_cast<size_t>(state.range(0)));
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString() + "/copy";
  int64_t bytes = 0;
  for (const std::string& line : lines) bytes += static_cast<int64_t>(line.size());
  for (auto _ : state) {
    TFileStream out(path, TFileStream::fmCreate);
    for (const std::string& line : lines) out.WriteString(line);
    out.Flush();
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_CopyLinesToFile)->Arg(20 << 10)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fetch") == 0) return fetch(argc, argv);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
