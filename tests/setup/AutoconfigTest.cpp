// What discovery reads without the network: autoconfig documents, the provider table,
// addresses and the domain of a mail exchanger.
#include <gtest/gtest.h>

#include "Autoconfig.h"
#include "Discovery.h"
#include "ProviderTable.h"

using namespace corvane::setup;

namespace {

std::string document(const std::string& servers) {
  return "<?xml version=\"1.0\"?><clientConfig version=\"1.1\"><emailProvider id=\"x\">" + servers +
         "</emailProvider></clientConfig>";
}

std::string server(const char* element, const char* type, const std::string& host, const std::string& port,
                   const char* socket, const std::string& extra = "<username>%EMAILADDRESS%</username>") {
  return std::string("<") + element + " type=\"" + type + "\"><hostname>" + host + "</hostname><port>" + port +
         "</port><socketType>" + socket + "</socketType>" + extra + "</" + element + ">";
}

struct DocumentCase {
  const char* what;
  std::string xml;
  std::string receive;  // "host:port security user sign-in", empty: none
  std::string send;
};

std::string summary(const TServerChoice& choice) {
  if (!choice.Found()) return {};
  return choice.Host + ":" + std::to_string(choice.Port) + " " + SecurityText(choice.Security) + " " + choice.UserName +
         " " + choice.SignIn + (choice.OAuthProvider.empty() ? "" : "/" + choice.OAuthProvider);
}

TEST(Autoconfig, TheStrongestUsableEntryOfEachSideWins) {
  const DocumentCase cases[] = {
      {"SSL beats STARTTLS whatever the order",
       document(
           server("incomingServer", "pop3", "pop.%EMAILDOMAIN%", "110", "STARTTLS") +
           server("incomingServer", "pop3", "pop.%EMAILDOMAIN%", "995", "SSL") +
           server("outgoingServer", "smtp", "smtp.x.test", "587", "STARTTLS", "<username>%EMAILLOCALPART%</username>")),
       "pop.x.test:995 SSL/TLS a.b@x.test Password", "smtp.x.test:587 STARTTLS a.b Password"},
      {"plain, IMAP, bad hosts and ports are left out",
       document(server("incomingServer", "pop3", "pop.x.test", "110", "plain") +
                server("incomingServer", "imap", "imap.x.test", "993", "SSL") +
                server("incomingServer", "pop3", "pop x.test", "995", "SSL") +
                server("incomingServer", "pop3", "pop.x.test", "99999", "SSL") +
                server("outgoingServer", "smtp", "smtp.x.test", "0", "SSL")),
       "", ""},
      {"OAuth 2.0 names its provider; no login for an open relay",
       document(server("incomingServer", "pop3", "pop.gmail.com", "995", "SSL",
                       "<username>%EMAILADDRESS%</username><authentication>OAuth2</authentication>"
                       "<authentication>password-cleartext</authentication>") +
                server("outgoingServer", "smtp", "smtp.x.test", "465", "SSL", "<authentication>none</authentication>")),
       "pop.gmail.com:995 SSL/TLS a.b@x.test OAuth2/Google", "smtp.x.test:465 SSL/TLS  Password"},
      {"an IPv6 literal is a host", document(server("incomingServer", "pop3", "::1", "995", "SSL")),
       "::1:995 SSL/TLS a.b@x.test Password", ""},
  };
  for (const DocumentCase& c : cases) {
    const TAutoconfig config = ParseAutoconfig(c.xml, "a.b@x.test", "here");
    EXPECT_TRUE(config.Valid) << c.what;
    EXPECT_EQ(summary(config.Receive), c.receive) << c.what;
    EXPECT_EQ(summary(config.Send), c.send) << c.what;
  }
}

TEST(Autoconfig, WhatIsNoDocumentGivesNothing) {
  for (const std::string& bytes :
       {std::string(), std::string("<html>not here</html>"),
        document(server("incomingServer", "pop3", "pop.x.test", "995", "SSL")).substr(0, 120),
        std::string("\xff\xfe<clientConfig>")}) {
    const TAutoconfig config = ParseAutoconfig(bytes, "a@x.test", "here");
    EXPECT_FALSE(config.Receive.Found());
    EXPECT_FALSE(config.Valid && config.Receive.Found());
  }
}

TEST(Providers, DomainsAndMailExchangersFindTheirProvider) {
  EXPECT_EQ(std::string(ProviderForDomain("GMail.com")->Name), "Gmail");
  EXPECT_EQ(std::string(ProviderForDomain("hotmail.co.uk")->OAuthProvider), "Microsoft");
  EXPECT_EQ(ProviderForDomain("example.test"), nullptr);
  EXPECT_EQ(std::string(ProviderForMailExchanger("tenant-com.mail.protection.outlook.com")->Name), "Microsoft 365");
  EXPECT_EQ(std::string(ProviderForMailExchanger("alt1.aspmx.l.google.com")->Name), "Gmail");
  EXPECT_EQ(ProviderForMailExchanger("notgoogle.com"), nullptr);

  TDiscoveryResult icloud;
  FillFromProvider(*ProviderForDomain("icloud.com"), "a@icloud.com", "table", icloud);
  EXPECT_TRUE(icloud.NoPop3);
  EXPECT_FALSE(icloud.Receive.Found());
  EXPECT_EQ(icloud.Send.Host, "smtp.mail.me.com");
  EXPECT_TRUE(icloud.Complete());
  // Every entry offers TLS on both of its sides.
  for (const TProvider& provider : KnownProviders()) {
    if (provider.Pop3.Host) {
      EXPECT_NE(provider.Pop3.Security, secNone) << provider.Name;
    }
    EXPECT_NE(provider.Submission.Security, secNone) << provider.Name;
  }
}

TEST(Addresses, SplitAndMailExchangerDomains) {
  std::string local, domain;
  EXPECT_TRUE(SplitAddress("Alice.B@Example.TEST.", local, domain));
  EXPECT_EQ(local, "Alice.B");
  EXPECT_EQ(domain, "example.test");
  for (const char* bad : {"alice", "@x.test", "alice@", "alice@localhost", "a b@x.test", "a@x..test", "a@-x test"})
    EXPECT_FALSE(SplitAddress(bad, local, domain)) << bad;
  EXPECT_EQ(DomainOfHost("mx1.mail.example.net"), "example.net");
  EXPECT_EQ(DomainOfHost("mx.example.co.uk"), "example.co.uk");
  EXPECT_EQ(DomainOfHost("example.net"), "example.net");
}

}  // namespace
