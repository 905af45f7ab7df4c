#pragma once
// A DNS server of the test's own: dnsmasq on a free port of 127.0.0.1 (and of ::1 when
// asked), answering for names under ".test" from the records given and nothing else (no
// upstream server, no hosts file). Point the program at it with CORVANE_DNS
// (ScopedDnsServer). Destroying the object stops exactly the process it started.
#include <QByteArray>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QProcess;
class QTemporaryDir;

namespace testdns {

// dnsmasq options that add one record each.
std::string Host(const std::string& name, const std::string& ipv4, const std::string& ipv6 = {});
// target empty: "." (no such service at this domain).
std::string Srv(const std::string& service, const std::string& target = {}, uint16_t port = 0, int priority = 0,
                int weight = 0);
std::string Mx(const std::string& domain, const std::string& exchange, int preference);

}  // namespace testdns

class TestDnsServer {
 public:
  // Null (with the reason in *why) when dnsmasq is missing or does not start.
  static std::unique_ptr<TestDnsServer> Start(const std::vector<std::string>& records, bool alsoIpv6 = false,
                                              std::string* why = nullptr);
  ~TestDnsServer();
  TestDnsServer(const TestDnsServer&) = delete;
  TestDnsServer& operator=(const TestDnsServer&) = delete;

  uint16_t Port() const { return port_; }
  // The value of CORVANE_DNS that reaches it: "127.0.0.1:PORT" or "[::1]:PORT".
  std::string Address(bool ipv6 = false) const;

 private:
  TestDnsServer();
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<QProcess> process_;
  uint16_t port_ = 0;
};

// Sets an environment variable for the life of the object, then puts back what was there.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  bool had_;
  QByteArray old_;
};

// True when this machine has the IPv6 loopback address to listen on.
bool HasIpv6Loopback();
