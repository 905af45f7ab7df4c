// Setting up from the address alone, through the window: a dnsmasq of the test's own
// answers for the test domains, a local HTTPS server serves the autoconfig document and
// the real mail servers listen on the standard ports of a loopback address of their own.
// Then receiving and sending over ::1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <set>

#include "RealMailServers.h"
#include "SetupFlow.h"
#include "TestDns.h"
#include "WindowSession.h"

using Kind = ScriptedDialogs::Kind;

namespace {

const char* const kAutoconfig = R"(<?xml version="1.0"?>
<clientConfig version="1.1">
  <emailProvider id="autoconf.test">
    <domain>autoconf.test</domain>
    <incomingServer type="imap"><hostname>imap.autoconf.test</hostname><port>993</port>
      <socketType>SSL</socketType></incomingServer>
    <incomingServer type="pop3"><hostname>pop.autoconf.test</hostname><port>110</port>
      <socketType>plain</socketType><username>%EMAILADDRESS%</username></incomingServer>
    <incomingServer type="pop3"><hostname>pop.autoconf.test</hostname><port>995</port>
      <socketType>SSL</socketType><username>%EMAILADDRESS%</username>
      <authentication>password-cleartext</authentication></incomingServer>
    <outgoingServer type="smtp"><hostname>smtp.autoconf.test</hostname><port>587</port>
      <socketType>STARTTLS</socketType><username>%EMAILLOCALPART%</username></outgoingServer>
  </emailProvider>
</clientConfig>
)";

// A loopback address of its own where port 443 and the mail ports are free: binding them
// needs root (or a lowered ip_unprivileged_port_start).
std::string freeLoopbackAddress() {
  for (int tries = 0; tries < 20; ++tries) {
    const quint32 r = QRandomGenerator::global()->generate();
    const std::string address = "127." + std::to_string(1 + r % 254) + "." + std::to_string((r >> 8) % 256) + "." +
                                std::to_string(1 + (r >> 16) % 254);
    bool free = true;
    for (const uint16_t port : {443, 110, 995, 465, 587}) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      inet_pton(AF_INET, address.c_str(), &a.sin_addr);
      free = free && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(fd);
    }
    if (free) return address;
  }
  return {};
}

class Setup : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string address = freeLoopbackAddress();
    if (address.empty()) {
      skip = "needs root to listen on ports 443, 110, 995, 465 and 587 of a loopback address";
      return;
    }
    www = std::make_unique<QTemporaryDir>();
    QDir(www->path()).mkpath("mail");
    QFile document(www->path() + "/mail/config-v1.1.xml");
    document.open(QIODevice::WriteOnly);
    document.write(kAutoconfig);
    document.close();
    std::string why;
    const std::string certs = www->path().toStdString() + "-certs";
    servers = RealMailServers::StartWith(
        {"--tls", "--listen", address, "--well-known-ports", "--https", www->path().toStdString(), "--certs", certs,
         "--name", "*.autoconf.test", "--name", "*.srvrec.test", "--name", "*.provider.test", "--name", "*.guess.test"},
        &why);
    if (!servers) {
      skip = why;
      return;
    }
    using namespace testdns;
    dns = TestDnsServer::Start(
        {Host("autoconfig.autoconf.test", address), Host("pop.autoconf.test", address),
         Host("smtp.autoconf.test", address), Host("mail.srvrec.test", address),
         Srv("_pop3s._tcp.srvrec.test", "mail.srvrec.test", 995, 10, 0),
         Srv("_pop3s._tcp.srvrec.test", "backup.srvrec.test", 995, 20, 0),
         Srv("_pop3._tcp.srvrec.test", "mail.srvrec.test", 110),
         Srv("_submission._tcp.srvrec.test", "mail.srvrec.test", 587), Mx("hosted.test", "mx1.mail.provider.test", 10),
         Srv("_pop3s._tcp.provider.test", "pop.provider.test", 995),
         Srv("_submissions._tcp.provider.test", "smtp.provider.test", 465),
         Mx("gmailhosted.test", "aspmx.l.google.com", 1), Host("pop.guess.test", address),
         Host("smtp.guess.test", address), Srv("_pop3s._tcp.nopop.test"), Srv("_pop3._tcp.nopop.test"),
         Srv("_submissions._tcp.nopop.test", "smtp.guess.test", 465)},
        false, &why);
    if (!dns) skip = why;
  }
  static void TearDownTestSuite() {
    dns.reset();
    servers.reset();
    www.reset();
  }

  void SetUp() override {
    if (!skip.empty()) GTEST_SKIP() << skip;
    dnsSetting = std::make_unique<ScopedEnvironment>("CORVANE_DNS", dns->Address());
    caSetting = std::make_unique<ScopedEnvironment>("CORVANE_CAFILE", servers->CaFile());
    window.Open();
  }

  // Runs File > Set up from address... with the address and password given, and OK or
  // Cancel on the confirmation.
  void SetUpFrom(const std::string& address, bool confirm = true, const std::string& password = "pw") {
    window.dialogs.queue(true, address + "\n" + password);
    window.dialogs.queue(confirm);
    window->SetupFromAddress1->trigger();
  }
  std::string Field(QLineEdit* field) { return corvane::GetText(field); }
  std::vector<std::string> Fields() {
    std::vector<std::string> out;
    for (QLineEdit* field : {window->inHost, window->inPort, window->inUserID, window->inPassword, window->outhost,
                             window->outport, window->outAuthUser, window->outAuthPassword, window->localemail})
      out.push_back(Field(field));
    out.push_back(std::to_string(window->inSecurity->currentIndex()));
    out.push_back(std::to_string(window->outSecurity->currentIndex()));
    return out;
  }
  std::string Confirmation() {
    const auto texts = window.dialogs.texts(Kind::Confirm);
    return texts.empty() ? std::string() : texts.back();
  }

  static std::string skip;
  static std::unique_ptr<QTemporaryDir> www;
  static std::unique_ptr<RealMailServers> servers;
  static std::unique_ptr<TestDnsServer> dns;
  std::unique_ptr<ScopedEnvironment> dnsSetting;
  std::unique_ptr<ScopedEnvironment> caSetting;
  session::Window window;
};

std::string Setup::skip;
std::unique_ptr<QTemporaryDir> Setup::www;
std::unique_ptr<RealMailServers> Setup::servers;
std::unique_ptr<TestDnsServer> Setup::dns;

struct SourceCase {
  const char* address;
  std::vector<std::string> fields;  // as Fields() lists them
  const char* origin;               // a piece of the confirmation naming the source
};

TEST_F(Setup, EachSourceFillsBothGroups) {
  const SourceCase cases[] = {
      {"alice@autoconf.test",
       {"pop.autoconf.test", "995", "alice@autoconf.test", "pw", "smtp.autoconf.test", "587", "alice", "pw",
        "alice@autoconf.test", "2", "1"},
       "from the autoconfig document at https://autoconfig.autoconf.test/mail/config-v1.1.xml"},
      {"bob@srvrec.test",
       {"mail.srvrec.test", "995", "bob@srvrec.test", "pw", "mail.srvrec.test", "587", "bob@srvrec.test", "pw",
        "bob@srvrec.test", "2", "1"},
       "from the DNS record _pop3s._tcp.srvrec.test"},
      {"carol@hosted.test",
       {"pop.provider.test", "995", "carol@hosted.test", "pw", "smtp.provider.test", "465", "carol@hosted.test", "pw",
        "carol@hosted.test", "2", "2"},
       "from the DNS record _submissions._tcp.provider.test"},
      {"dave@guess.test",
       {"pop.guess.test", "995", "dave@guess.test", "pw", "smtp.guess.test", "465", "dave@guess.test", "pw",
        "dave@guess.test", "2", "2"},
       "from a test of pop.guess.test:995 (greeting and secure connection)"},
      {"erin@gmail.com",
       {"pop.gmail.com", "995", "erin@gmail.com", "pw", "smtp.gmail.com", "465", "erin@gmail.com", "pw",
        "erin@gmail.com", "2", "2"},
       "sign-in with OAuth 2.0 (Google)"},
      {"frank@gmailhosted.test",
       {"pop.gmail.com", "995", "frank@gmailhosted.test", "pw", "smtp.gmail.com", "465", "frank@gmailhosted.test", "pw",
        "frank@gmailhosted.test", "2", "2"},
       "Gmail, which receives mail for gmailhosted.test at aspmx.l.google.com"},
  };
  for (const SourceCase& c : cases) {
    SetUpFrom(c.address);
    EXPECT_EQ(Fields(), c.fields) << c.address;
    EXPECT_NE(Confirmation().find(c.origin), std::string::npos) << c.address << ":\n" << Confirmation();
    EXPECT_TRUE(window.dialogs.errors().empty()) << window.dialogs.errors().front();
    EXPECT_EQ(window->statusText(), SetupFlow::kFilledIn);
  }
  // A provider that wants OAuth 2.0 has it chosen in both groups, and the next account
  // found with a password turns them back.
  SetUpFrom("erin@gmail.com");
  EXPECT_EQ(window->inLogin->currentText(), "OAuth 2.0: Google");
  EXPECT_EQ(window->outLogin->currentText(), "OAuth 2.0: Google");
  // The plain POP3 entry of the document was left out, and said so.
  SetUpFrom("alice@autoconf.test");
  EXPECT_EQ(window->inLogin->currentText(), "Password");
  EXPECT_EQ(window->outLogin->currentText(), "Password");
  EXPECT_NE(Confirmation().find("pop.autoconf.test:110 offers no secure connection"), std::string::npos);
}

TEST_F(Setup, AProviderWithoutPop3SaysSoAndFillsTheSendGroupOnly) {
  const std::vector<std::string> before = Fields();
  SetUpFrom("grace@nopop.test");
  EXPECT_NE(Confirmation().find("Receive (POP3): not offered by this provider"), std::string::npos) << Confirmation();
  std::vector<std::string> after = Fields();
  EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + 4),
            std::vector<std::string>(before.begin(), before.begin() + 4));
  EXPECT_EQ(after[4], "smtp.guess.test");
}

// Nothing the user typed is lost when the discovery is cancelled, times out, finds
// nothing or its result is refused; no password went anywhere.
TEST_F(Setup, CancelTimeOutAndRefusalLeaveEveryFieldAsItWas) {
  window.ReceiveAccount("old.host", 1110, "old user", "old password");
  const std::vector<std::string> before = Fields();

  window.dialogs.cancelProgressWhen = [](const std::string& text) { return text.rfind("Asking", 0) == 0; };
  window.dialogs.queue(true, "alice@autoconf.test\nnew password");
  window->SetupFromAddress1->trigger();
  EXPECT_EQ(Fields(), before);
  EXPECT_TRUE(window.dialogs.texts(Kind::Confirm).empty());
  window.dialogs.cancelProgressWhen = nullptr;

  // Every step's time runs out at once on a clock that jumps at each step.
  int64_t now = 0;
  window->setupFlow().Options.Clock = [&now] { return now += 60000; };
  window.dialogs.queue(true, "alice@autoconf.test\nnew password");
  window->SetupFromAddress1->trigger();
  EXPECT_EQ(Fields(), before);
  ASSERT_FALSE(window.dialogs.messages().empty());
  EXPECT_EQ(window.dialogs.messages().back().rfind("No servers found for alice@autoconf.test", 0), 0u);
  window->setupFlow().Options.Clock = nullptr;

  SetUpFrom("alice@autoconf.test", false, "new password");
  EXPECT_EQ(Fields(), before);

  window.dialogs.queue(true, "not an address\n");
  window->SetupFromAddress1->trigger();
  EXPECT_EQ(window.dialogs.errors().back(), "\"not an address\" is not an e-mail address.");
  EXPECT_EQ(Fields(), before);
}

TEST(FirstStart, TheStatusBarSuggestsSettingUpFromTheAddress) {
  session::Window window;
  window.Open();
  EXPECT_EQ(window->statusText(), SetupFlow::kFirstStartHint);
  // One key per item: a shared mnemonic makes the key select instead of open.
  std::set<QChar> keys;
  for (QAction* item : window->File1->actions()) {
    const qsizetype amp = item->text().indexOf('&');
    if (amp < 0) continue;
    EXPECT_TRUE(keys.insert(item->text().at(amp + 1).toLower()).second) << item->text().toStdString();
  }
  EXPECT_EQ(window->File1->actions().indexOf(window->SetupFromAddress1), 2);
  window.Close();
  session::WriteBytes(window.Folder() + "corvane.ini", "[INBOX]\r\nHost=pop.example.test\r\n");
  window.Open();
  EXPECT_EQ(window->statusText(), "");
}

// Both groups over ::1: the host field takes an IPv6 literal with or without brackets.
TEST(OverIpv6, ReceiveAndSendThroughTheWindow) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "this machine has no ::1 to listen on";
  std::string why;
  auto servers = RealMailServers::StartWith({"--ipv6"}, &why);
  ASSERT_TRUE(servers) << why;
  servers->AddUser("alice", "secret");
  servers->Deliver("alice", "From: bob@example.org\r\nSubject: over six\r\n\r\nHello over IPv6.\r\n");
  session::Window window;
  Tpopform& form = window.Open();
  window.ReceiveAccount("::1", servers->Pop3Port(), "alice", "secret");
  window.Connect();
  EXPECT_TRUE(window.dialogs.errors().empty()) << window.dialogs.errors().front();
  ASSERT_EQ(listrows::Count(form.pophistlist), 1);
  EXPECT_NE(corvane::GetText(form.popsubject).find("over six"), std::string::npos);
  window.Disconnect();

  window.SendAccount(servers->SmtpPort());
  corvane::SetText(form.outhost, "[::1]");
  window.Click(form.outconnect, form.TabSheet1);
  EXPECT_EQ(form.statusText(), "Connected");
  corvane::SetText(form.outsubject, "back over six");
  form.mailto->addItem("alice@example.org");
  window.Click(form.gosend, form.TabSheet4);
  EXPECT_EQ(form.statusText(), "Success");
  ASSERT_EQ(servers->SmtpReceived().size(), 1u);
  EXPECT_NE(servers->SmtpReceived()[0].find("Subject: back over six"), std::string::npos);
}

}  // namespace
