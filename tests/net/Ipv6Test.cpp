// Addresses of both families: how they are read and written, the resolver against a DNS
// server of the test's own, and connections over IPv6 with the fallback between families.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <memory>
#include <optional>

#include "FailureOf.h"
#include "NetTestSupport.h"
#include "Resolver.h"
#include "ScriptedServer.h"
#include "TestCertificates.h"
#include "TestDns.h"

namespace {

using corvane::dns::TLookupStatus;

struct AddressCase {
  const char* typed;
  const char* text;  // null: not an address
  const char* endpoint;
  const char* greeting;
};

TEST(NetAddress, LiteralsAreReadAndWrittenInEachPlace) {
  const AddressCase cases[] = {
      {"127.0.0.1", "127.0.0.1", "127.0.0.1:995", "[127.0.0.1]"},
      {"::1", "::1", "[::1]:995", "[IPv6:::1]"},
      {"[::1]", "::1", "[::1]:995", "[IPv6:::1]"},
      {"[2001:DB8::0:1]", "2001:db8::1", "[2001:db8::1]:995", "[IPv6:2001:db8::1]"},
      {"::ffff:192.0.2.1", "::ffff:192.0.2.1", "[::ffff:192.0.2.1]:995", "[IPv6:::ffff:192.0.2.1]"},
      {"fe80::1%lo", "fe80::1%lo", "[fe80::1%lo]:995", "[IPv6:fe80::1]"},
      {"[127.0.0.1]", nullptr, nullptr, nullptr},  // brackets belong to IPv6 only
      {"127.1", nullptr, nullptr, nullptr},        // a name, as it always was
      {"mail.example.test", nullptr, nullptr, nullptr},
      {"[::1", nullptr, nullptr, nullptr},
      {"::1]", nullptr, nullptr, nullptr},
      {":::", nullptr, nullptr, nullptr},
      {"", nullptr, nullptr, nullptr},
  };
  for (const AddressCase& c : cases) {
    const auto address = TNetAddress::Parse(c.typed, 995);
    ASSERT_EQ(address.has_value(), c.text != nullptr) << c.typed;
    if (!address) continue;
    EXPECT_EQ(address->Text(), c.text) << c.typed;
    EXPECT_EQ(address->Endpoint(), c.endpoint) << c.typed;
    EXPECT_EQ(address->GreetingLiteral(), c.greeting) << c.typed;
  }
  EXPECT_FALSE(TNetAddress::Parse(std::string("::1\0x", 5)).has_value());
  EXPECT_EQ(corvane::net::BareHost("[::1]"), "::1");
  EXPECT_EQ(corvane::net::BareHost("mail.example.test"), "mail.example.test");
}

TEST(NetAddress, AttemptsAlternateFamiliesIpv6First) {
  std::vector<TNetAddress> given;
  for (const char* text : {"192.0.2.1", "192.0.2.2", "2001:db8::1", "2001:db8::2", "2001:db8::3"})
    given.push_back(*TNetAddress::Parse(text));
  std::vector<std::string> order;
  for (const TNetAddress& address : corvane::net::InterleaveFamilies(given)) order.push_back(address.Text());
  EXPECT_EQ(order, (std::vector<std::string>{"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2", "2001:db8::3"}));
}

TEST(NetAddress, DnsServerSettingNeedsAnAddressAndAPort) {
  EXPECT_EQ(corvane::dns::ParseServer("127.0.0.1:5353")->Endpoint(), "127.0.0.1:5353");
  EXPECT_EQ(corvane::dns::ParseServer("[::1]:53")->Endpoint(), "[::1]:53");
  for (const char* bad :
       {"::1:53", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:70000", "dns.test:53", "127.0.0.1:5x", ""})
    EXPECT_FALSE(corvane::dns::ParseServer(bad).has_value()) << bad;
}

// dnsmasq with the records of these tests, on 127.0.0.1 and ::1; skips when the machine
// cannot give it (no dnsmasq, no IPv6 loopback).
class WithDns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HasIpv6Loopback()) GTEST_SKIP() << "this machine has no ::1 to listen on";
    std::string why;
    dns = TestDnsServer::Start(
        {testdns::Host("dual.test", "127.0.0.1", "::1"), testdns::Host("six.test", "", "::1"),
         testdns::Srv("_pop3s._tcp.srv.test", "pop.srv.test", 995, 10, 5),
         testdns::Srv("_pop3s._tcp.srv.test", "backup.srv.test", 1995, 20, 0), testdns::Srv("_pop3._tcp.srv.test"),
         testdns::Mx("mx.test", "mx2.mail.example.test", 20), testdns::Mx("mx.test", "mx1.mail.example.test", 10)},
        true, &why);
    ASSERT_TRUE(dns) << why;
    environment = std::make_unique<ScopedEnvironment>(corvane::dns::kServerVariable, dns->Address());
  }

  std::unique_ptr<TestDnsServer> dns;
  std::unique_ptr<ScopedEnvironment> environment;
};

std::vector<std::string> texts(const std::vector<TNetAddress>& addresses) {
  std::vector<std::string> out;
  for (const TNetAddress& address : addresses) out.push_back(address.Text());
  return out;
}

TEST_F(WithDns, EveryLookupGoesToTheNamedServer) {
  const auto dual = corvane::dns::LookupAddresses("dual.test");
  EXPECT_EQ(dual.Status, TLookupStatus::Found);
  EXPECT_EQ(texts(dual.Addresses), (std::vector<std::string>{"::1", "127.0.0.1"}));
  EXPECT_EQ(texts(corvane::dns::LookupAddresses("six.test").Addresses), std::vector<std::string>{"::1"});
  EXPECT_EQ(corvane::dns::LookupAddresses("missing.test").Status, TLookupStatus::NoSuchName);

  const auto srv = corvane::dns::LookupSrv("_pop3s._tcp.srv.test");
  ASSERT_EQ(srv.Status, TLookupStatus::Found);
  ASSERT_EQ(srv.Records.size(), 2u);
  const auto& first = srv.Records[0].Priority == 10 ? srv.Records[0] : srv.Records[1];
  EXPECT_EQ(first.Target, "pop.srv.test");
  EXPECT_EQ(first.Port, 995);
  EXPECT_EQ(first.Weight, 5);
  const auto none = corvane::dns::LookupSrv("_pop3._tcp.srv.test");
  ASSERT_EQ(none.Records.size(), 1u);
  EXPECT_EQ(none.Records[0].Target, "");  // "." : no such service here

  const auto mx = corvane::dns::LookupMx("mx.test");
  ASSERT_EQ(mx.Records.size(), 2u);
  EXPECT_EQ(mx.Records[0].Exchange, "mx1.mail.example.test");
  EXPECT_EQ(mx.Records[1].Exchange, "mx2.mail.example.test");
  EXPECT_EQ(corvane::dns::LookupMx("srv.test").Status, TLookupStatus::NoData);

  // The server reached over IPv6, and a setting that names nothing usable.
  ScopedEnvironment overIpv6(corvane::dns::kServerVariable, dns->Address(true));
  EXPECT_EQ(texts(corvane::dns::LookupAddresses("dual.test").Addresses),
            (std::vector<std::string>{"::1", "127.0.0.1"}));
  ScopedEnvironment unreadable(corvane::dns::kServerVariable, "dns.test");
  EXPECT_EQ(corvane::dns::LookupAddresses("dual.test").Status, TLookupStatus::Failed);
}

TEST_F(WithDns, ANameWithIpv6AloneConnectsOverIpv6) {
  ScriptedServer server(ScriptedServer::OnIpv6Loopback{}, "S: over six\nE\n");
  TTestSocket socket;
  socket.Host = "six.test";
  socket.Port = server.Port();
  socket.TimeOut = 5000;
  socket.Connect();
  EXPECT_EQ(socket.ReadLn(), "over six\r\n");
  EXPECT_EQ(socket.RemoteAddress.Endpoint(), "[::1]:" + std::to_string(server.Port()));
  EXPECT_EQ(socket.LocalAddress().GreetingLiteral(), "[IPv6:::1]");
  socket.Disconnect();
  ASSERT_TRUE(server.WaitFinished());
}

// The IPv6 address takes the first attempt and loses it silently; the IPv4 one, started
// 250 ms later, wins long before the time-out.
TEST_F(WithDns, AnUnreachableIpv6AddressFallsBackToIpv4) {
  ScriptedServer server("S: over four\nE\n");
  FullBacklogListener silent(AF_INET6, server.Port());
  TTestSocket socket;
  StatusLog log;
  log.Attach(socket);
  socket.ReportLevel = 8;
  socket.Host = "dual.test";
  socket.Port = server.Port();
  socket.TimeOut = 20000;
  socket.Connect();
  EXPECT_FALSE(socket.TimedOut);
  EXPECT_EQ(socket.Aborts, 0);
  EXPECT_EQ(socket.RemoteAddress.Text(), "127.0.0.1");
  EXPECT_EQ(log.Count("Connected to 127.0.0.1:" + std::to_string(server.Port())), 1);
  EXPECT_EQ(socket.ReadLn(), "over four\r\n");
  socket.Disconnect();
  ASSERT_TRUE(server.WaitFinished());
}

// Every address silent: TimeOut bounds the whole connect, not each attempt, and Cancel
// ends it whichever attempt is under way.
TEST_F(WithDns, TimeOutAndCancelSpanEveryAttempt) {
  FullBacklogListener silentFour;
  FullBacklogListener silentSix(AF_INET6, silentFour.Port());
  QObject scope;
  TTestSocket socket;
  socket.Host = "dual.test";
  socket.Port = silentFour.Port();
  socket.TimeOut = 700;
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(FailureOf([&] { socket.Connect(); }), "Connection Timed out");
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_EQ(socket.Aborts, 1);

  socket.TimeOut = 0;
  Later(&scope, 400, [&] { socket.Cancel(); });
  EXPECT_EQ(FailureOf([&] { socket.Connect(); }), "Connection Canceled");
}

TEST(Ipv6Tls, TheCertificateIsCheckedForTheIpv6Address) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "this machine has no ::1 to listen on";
  QTemporaryDir dir;
  const TestCertificates& certs = TestCertificates::Get();
  for (const bool matching : {true, false}) {
    const TestIdentity& identity = matching ? certs.Server : certs.OtherName;
    const ScriptedTlsIdentity tls{identity.CertPem, identity.KeyPem};
    ScriptedServer server(ScriptedServer::OnIpv6Loopback{}, matching ? "T\nS: +OK secure\nE\n" : "T: refused\nE\n",
                          &tls);
    TTestSocket socket;
    socket.Host = "[::1]";
    socket.Port = server.Port();
    socket.TimeOut = 5000;
    socket.Security = secSSLTLS;
    socket.CAFile = certs.WriteCaFile(dir.path().toStdString());
    if (matching) {
      socket.Connect();
      EXPECT_EQ(socket.ReadLn(), "+OK secure\r\n");
      socket.Disconnect();
    } else {
      EXPECT_NE(FailureOf([&] { socket.Connect(); }).find("it was not issued for the address ::1"), std::string::npos);
    }
    ASSERT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Failures(), "");
  }
}

}  // namespace
