#include "TestDns.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

namespace {

constexpr int kStartMs = 10000;
const char* const kDnsmasq = "/usr/sbin/dnsmasq";

// A port free for UDP and TCP on 127.0.0.1 (and ::1) at this moment.
uint16_t freePort(bool ipv6) {
  for (int tries = 0; tries < 20; ++tries) {
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&a), &length);
    bool free = true;
    const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    free = ::bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(tcp);
    if (free && ipv6) {
      for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int fd = ::socket(AF_INET6, type, 0);
        sockaddr_in6 b{};
        b.sin6_family = AF_INET6;
        b.sin6_addr = in6addr_loopback;
        b.sin6_port = a.sin_port;
        free = free && ::bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0;
        ::close(fd);
      }
    }
    ::close(udp);
    if (free) return ntohs(a.sin_port);
  }
  return 0;
}

bool accepts(const QString& host, uint16_t port) {
  QTcpSocket probe;
  probe.connectToHost(host, port);
  return probe.waitForConnected(200);
}

}  // namespace

namespace testdns {

std::string Host(const std::string& name, const std::string& ipv4, const std::string& ipv6) {
  std::string option = "--host-record=" + name;
  if (!ipv4.empty()) option += "," + ipv4;
  if (!ipv6.empty()) option += "," + ipv6;
  return option;
}

std::string Srv(const std::string& service, const std::string& target, uint16_t port, int priority, int weight) {
  if (target.empty()) return "--srv-host=" + service;
  return "--srv-host=" + service + "," + target + "," + std::to_string(port) + "," + std::to_string(priority) + "," +
         std::to_string(weight);
}

std::string Mx(const std::string& domain, const std::string& exchange, int preference) {
  return "--mx-host=" + domain + "," + exchange + "," + std::to_string(preference);
}

}  // namespace testdns

TestDnsServer::TestDnsServer() = default;

std::unique_ptr<TestDnsServer> TestDnsServer::Start(const std::vector<std::string>& records, bool alsoIpv6,
                                                    std::string* why) {
  const auto fail = [why](const std::string& text) {
    if (why) *why = text;
    return nullptr;
  };
  if (!QFile::exists(kDnsmasq)) return fail("dnsmasq is not installed (package dnsmasq-base)");
  std::unique_ptr<TestDnsServer> server(new TestDnsServer);
  server->dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/corvane-dns-XXXXXX");
  const QString dir = server->dir_->path();
  for (int attempt = 0; attempt < 3; ++attempt) {
    server->port_ = freePort(alsoIpv6);
    QStringList arguments{"--keep-in-foreground",
                          "--conf-file=/dev/null",
                          "--port=" + QString::number(server->port_),
                          "--listen-address=127.0.0.1",
                          "--bind-interfaces",
                          "--no-resolv",
                          "--no-hosts",
                          "--no-poll",
                          "--local=/test/",
                          "--pid-file=" + dir + "/dnsmasq.pid",
                          "--log-facility=" + dir + "/dnsmasq.log",
                          "--log-queries"};
    if (alsoIpv6) arguments << "--listen-address=::1";
    // As root it would give up its rights to groups a minimal system may lack.
    if (::geteuid() == 0)
      arguments << "--user=root"
                << "--group=root";
    for (const std::string& record : records) arguments << QString::fromStdString(record);
    server->process_ = std::make_unique<QProcess>();
    server->process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server->process_->start(kDnsmasq, arguments);
    if (!server->process_->waitForStarted(kStartMs)) return fail("cannot start dnsmasq");
    QDeadlineTimer deadline(kStartMs);
    while (!deadline.hasExpired() && server->process_->state() == QProcess::Running) {
      if (accepts("127.0.0.1", server->port_) && (!alsoIpv6 || accepts("::1", server->port_))) return server;
      QThread::msleep(10);
    }
    server->process_->kill();
    server->process_->waitForFinished(kStartMs);
  }
  return fail("dnsmasq did not start listening");
}

TestDnsServer::~TestDnsServer() {
  if (!process_ || process_->state() == QProcess::NotRunning) return;
  process_->terminate();
  if (!process_->waitForFinished(kStartMs)) {
    process_->kill();
    process_->waitForFinished(kStartMs);
  }
}

std::string TestDnsServer::Address(bool ipv6) const {
  return (ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value)
    : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
  qputenv(name, QByteArray::fromStdString(value));
}

ScopedEnvironment::~ScopedEnvironment() {
  if (had_)
    qputenv(name_, old_);
  else
    qunsetenv(name_);
}

bool HasIpv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}
