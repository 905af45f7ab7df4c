// How long a connect takes when the name's IPv6 address silently drops every attempt,
// against the same connect over IPv4 alone: Happy Eyeballs (RFC 8305) should add about
// the 250 ms attempt delay and never the time-out. A dnsmasq of its own (CORVANE_DNS)
// gives "dual.test" the addresses ::1 and 127.0.0.1 and "four.test" 127.0.0.1 alone; a
// listener whose queue is full makes ::1 silent, one on 127.0.0.1 with the same port
// answers.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <cstdio>
#include <memory>

#include "SilentListener.h"
#include "TestDns.h"
#include "ZnSock.h"

namespace {

// An IPv4 listener that lets the kernel complete every connect.
class OpenListener {
 public:
  OpenListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4096);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~OpenListener() { ::close(fd_); }
  uint16_t Port() const { return port_; }
  // Takes the connections made so far, so the queue never fills.
  void Drain() {
    for (int c; (c = ::accept(fd_, nullptr, nullptr)) >= 0;) ::close(c);
  }

 private:
  int fd_;
  uint16_t port_;
};

void Connect(benchmark::State& state, const char* host) {
  std::string why;
  const auto dns = TestDnsServer::Start(
      {testdns::Host("dual.test", "127.0.0.1", "::1"), testdns::Host("four.test", "127.0.0.1")}, false, &why);
  if (!dns) {
    state.SkipWithError(why.c_str());
    return;
  }
  ScopedEnvironment server("CORVANE_DNS", dns->Address());
  OpenListener open;
  FullBacklogListener silent(AF_INET6, open.Port());
  TZnSocket socket;
  socket.Host = host;
  socket.Port = open.Port();
  socket.TimeOut = 20000;
  for (auto _ : state) {
    socket.Connect();
    state.PauseTiming();
    if (socket.RemoteAddress.Text() != "127.0.0.1") state.SkipWithError("did not end on IPv4");
    socket.Disconnect();
    open.Drain();
    state.ResumeTiming();
  }
}

void BM_ConnectIpv4Alone(benchmark::State& state) {
  Connect(state, "four.test");
}
void BM_ConnectWithSilentIpv6(benchmark::State& state) {
  Connect(state, "dual.test");
}

BENCHMARK(BM_ConnectIpv4Alone)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ConnectWithSilentIpv6)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
