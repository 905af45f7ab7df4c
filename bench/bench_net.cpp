// Throughput of the socket component against plain blocking socket loops, on loopback.
// A peer thread sends 100 MB of 76-byte lines (read with ReadLn vs a recv loop that splits
// the same lines) or receives 100 MB (sent with SendStream vs a blocking send loop).
// Figures are MB/s; the ratios at the end compare each pair measured in this run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "ZnSock.h"

namespace {

constexpr int64_t TotalBytes = 100'000'000;
constexpr int64_t LineLength = 76;
constexpr int64_t LineCount = TotalBytes / LineLength;

// 74 characters and CR LF, repeated to one block the peer sends again and again.
std::string LineBlock() {
  std::string line;
  for (int i = 0; i < LineLength - 2; ++i) line += static_cast<char>('!' + i % 90);
  line += "\r\n";
  std::string block;
  while (block.size() < (1 << 20)) block += line;
  return block;
}

// A one-connection loopback peer on its own thread.
class Peer {
 public:
  explicit Peer(bool sends) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 1);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, sends] { sends ? sendLines() : receiveAll(); });
  }
  ~Peer() {
    thread_.join();
    ::close(listen_);
  }
  uint16_t Port() const { return port_; }

 private:
  void sendLines() {
    int fd = ::accept(listen_, nullptr, nullptr);
    const std::string block = LineBlock();
    const int64_t linesPerBlock = static_cast<int64_t>(block.size()) / LineLength;
    for (int64_t lines = 0; lines < LineCount;) {
      const int64_t count = std::min(linesPerBlock, LineCount - lines);
      const char* p = block.data();
      int64_t left = count * LineLength;
      while (left > 0) {
        ssize_t n = ::send(fd, p, static_cast<size_t>(left), MSG_NOSIGNAL);
        if (n <= 0) break;
        p += n;
        left -= n;
      }
      lines += count;
    }
    ::shutdown(fd, SHUT_WR);
    char drain[256];
    while (::recv(fd, drain, sizeof drain, 0) > 0) {
    }
    ::close(fd);
  }
  void receiveAll() {
    int fd = ::accept(listen_, nullptr, nullptr);
    std::string buffer(1 << 16, '\0');
    int64_t total = 0;
    while (total < TotalBytes) {
      ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      total += n;
    }
    ::close(fd);
  }

  int listen_;
  uint16_t port_;
  std::thread thread_;
};

int PlainConnect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

void ConnectComponent(TZnSocket& socket, uint16_t port) {
  socket.Host = "127.0.0.1";
  socket.Port = port;
  socket.TimeOut = 10000;
  socket.Connect();
}

void BM_ReadLn(benchmark::State& state) {
  for (auto _ : state) {
    Peer peer(true);
    TZnSocket socket;
    ConnectComponent(socket, peer.Port());
    int64_t bytes = 0;
    for (int64_t i = 0; i < LineCount; ++i) bytes += static_cast<int64_t>(socket.ReadLn().size());
    if (bytes != LineCount * LineLength) state.SkipWithError("lines lost");
    socket.Disconnect();
  }
  state.SetBytesProcessed(state.iterations() * LineCount * LineLength);
}

// Arg 0 reuses one line buffer; arg 1 gives every line a string of its own.
void BM_PlainRecvLines(benchmark::State& state) {
  const bool ownStrings = state.range(0) == 1;
  for (auto _ : state) {
    Peer peer(true);
    int fd = PlainConnect(peer.Port());
    std::string pending;
    std::string buffer(16383, '\0');
    std::string line;
    int64_t bytes = 0;
    size_t head = 0;
    for (int64_t lines = 0; lines < LineCount;) {
      const char* start = pending.data() + head;
      const void* lf = std::memchr(start, '\n', pending.size() - head);
      if (lf) {
        size_t end = static_cast<size_t>(static_cast<const char*>(lf) - pending.data()) + 1;
        if (ownStrings) {
          // Each line its own string, as a function that hands out lines must give it.
          std::string own(pending, head, end - head);
          benchmark::DoNotOptimize(own.data());
          bytes += static_cast<int64_t>(own.size());
        } else {
          line.assign(pending, head, end - head);
          bytes += static_cast<int64_t>(line.size());
        }
        head = end;
        ++lines;
        continue;
      }
      pending.erase(0, head);
      head = 0;
      ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      pending.append(buffer.data(), static_cast<size_t>(n));
    }
    if (bytes != LineCount * LineLength) state.SkipWithError("lines lost");
    ::close(fd);
  }
  state.SetBytesProcessed(state.iterations() * LineCount * LineLength);
}

void BM_SendStream(benchmark::State& state) {
  TMemoryStream stream;
  stream.SetData(std::string(TotalBytes, 'x'));
  for (auto _ : state) {
    Peer peer(false);
    TZnSocket socket;
    ConnectComponent(socket, peer.Port());
    socket.SendStream(stream);
    if (socket.BytesSent != TotalBytes) state.SkipWithError("bytes lost");
    // Let the peer read everything before the reset that closing sends.
    QDeadlineTimer deadline(30000);
    while (socket.Connected && !deadline.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes);
}

// A blocking send loop; Arg is the most one call sends (0: all that is left).
void BM_PlainSend(benchmark::State& state) {
  const std::string data(TotalBytes, 'x');
  const int64_t most = state.range(0) > 0 ? state.range(0) : TotalBytes;
  for (auto _ : state) {
    Peer peer(false);
    int fd = PlainConnect(peer.Port());
    int64_t sent = 0;
    while (sent < TotalBytes) {
      const int64_t length = std::min(most, TotalBytes - sent);
      ssize_t n = ::send(fd, data.data() + sent, static_cast<size_t>(length), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += n;
    }
    char b;
    ::recv(fd, &b, 1, 0);  // the peer closes once it has everything
    ::close(fd);
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes);
}

BENCHMARK(BM_ReadLn)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PlainRecvLines)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SendStream)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PlainSend)->Arg(0)->Arg(16383)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Keeps each run's throughput for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> MBps;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) MBps[run.benchmark_name()] = it->second / 1e6;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* ours, const char* plain) {
    auto a = reporter.MBps.find(ours), b = reporter.MBps.find(plain);
    if (a == reporter.MBps.end() || b == reporter.MBps.end() || b->second == 0) return;
    std::printf("%-28s %8.1f MB/s vs %-28s %8.1f MB/s  ratio %.2f\n", ours, a->second, plain, b->second,
                a->second / b->second);
  };
  ratio("BM_ReadLn/iterations:3/real_time", "BM_PlainRecvLines/0/iterations:3/real_time");
  ratio("BM_ReadLn/iterations:3/real_time", "BM_PlainRecvLines/1/iterations:3/real_time");
  ratio("BM_SendStream/iterations:3/real_time", "BM_PlainSend/0/iterations:3/real_time");
  ratio("BM_SendStream/iterations:3/real_time", "BM_PlainSend/16383/iterations:3/real_time");
  benchmark::Shutdown();
  return 0;
}
