// Secure connections through the window against the real TLS test servers: receiving over
// POP3S and STLS, sending over SMTPS and STARTTLS with AUTH, refused certificates with the
// wire recorded to show nothing of the account went out, and the waits of a handshake.
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTimer>
#include <algorithm>

#include "AutoCheck.h"
#include "RealMailServers.h"
#include "RecordingProxy.h"
#include "WindowSession.h"
#include "WireProxy.h"

using session::Rows;
using session::TestData;
using session::WriteBytes;
using Lines = std::vector<std::string>;
using Kind = ScriptedDialogs::Kind;

namespace {

enum { kNone = 0, kStartTls = 1, kSslTls = 2 };

class SecureWindow : public testing::Test {
 protected:
  void Start(TestCertificate certificate = TestCertificate::Trusted) {
    std::string why;
    servers = RealMailServers::StartTls(certificate, &why);
    ASSERT_TRUE(servers) << why;
    servers->AddUser("alice", "secret");
    // The extra trusted certificates come from the settings file, as a user keeps them.
    WriteBytes(window.Folder() + "corvane.ini",
               "[INBOX]\r\nCAFile=" + servers->CaFile() + "\r\n[OUTBOX]\r\nCAFile=" + servers->CaFile() + "\r\n");
    window.Open();
  }
  void Receive(uint16_t port, int security) {
    window.ReceiveAccount("127.0.0.1", port, "alice", "secret");
    window->inSecurity->setCurrentIndex(security);
    window.Connect();
  }
  void ConnectSmtp(uint16_t port, int security, const std::string& login = {}, const std::string& password = {}) {
    window.SendAccount(port);
    window->outSecurity->setCurrentIndex(security);
    corvane::SetText(window->outAuthUser, login);
    corvane::SetText(window->outAuthPassword, password);
    window.Click(window->outconnect, window->TabSheet1);
  }
  void SendOne(const std::string& subject) { window.SendOne(subject); }
  std::string FirstError() const { return window.FirstError(); }

  std::unique_ptr<RealMailServers> servers;
  session::Window window;
};

bool contains(const Lines& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

bool lastQuestionDefaultsToNo(const ScriptedDialogs& dialogs) {
  const auto question = std::find_if(dialogs.shown.rbegin(), dialogs.shown.rend(),
                                     [](const ScriptedDialogs::Shown& shown) { return shown.kind == Kind::Confirm; });
  return question != dialogs.shown.rend() && question->defaultNo;
}

TEST_F(SecureWindow, ReceivesOverPop3sAndOverStls) {
  Start();
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  Receive(servers->Pop3sPort(), kSslTls);
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_EQ(Rows(window->pophistlist, 1), Lines{"First"});
  window.Disconnect();

  servers->Deliver("alice", TestData("three_messages/2.eml"));
  Receive(servers->Pop3Port(), kStartTls);
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_EQ(Rows(window->pophistlist, 1), (Lines{"First", "Second"}));
  window.Disconnect();
  EXPECT_NE(servers->Pop3Log().find("Login: user=<alice>"), std::string::npos);
}

TEST_F(SecureWindow, SendsOverSmtpsAndOverStartTlsWithAuth) {
  Start();
  ConnectSmtp(servers->SmtpsPort(), kSslTls);
  EXPECT_EQ(FirstError(), "(none)");
  SendOne("Over SMTPS");
  EXPECT_EQ(window->statusText(), "Success");
  window.Click(window->outdisconnect, window->TabSheet1);

  ConnectSmtp(servers->SmtpStartTlsPort(), kStartTls, "alice", "secret");
  EXPECT_EQ(FirstError(), "(none)");
  SendOne("Over STARTTLS");
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_EQ(window->statusText(), "Success");
  window.Click(window->outdisconnect, window->TabSheet1);

  ASSERT_EQ(servers->SmtpReceived().size(), 2u);
  const Lines commands = servers->SmtpCommands("starttls");
  const auto at = [&](const std::string& prefix) {
    return std::find_if(commands.begin(), commands.end(),
                        [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  };
  // EHLO, the upgrade, EHLO again, then the strongest login, all before MAIL.
  ASSERT_TRUE(contains(commands, "* TLS"));
  EXPECT_LT(at("EHLO tester"), at("* TLS"));
  EXPECT_TRUE(contains(Lines(at("* TLS"), commands.end()), "EHLO tester"));
  EXPECT_TRUE(contains(commands, "* AUTH CRAM-MD5 alice ok"));
  EXPECT_LT(at("* AUTH"), at("MAIL FROM"));
}

TEST_F(SecureWindow, UntrustedOrMisnamedCertificatesAreRefusedWithNothingOfTheAccountSent) {
  for (const TestCertificate certificate : {TestCertificate::SelfSigned, TestCertificate::NameMismatch}) {
    SCOPED_TRACE(certificate == TestCertificate::SelfSigned ? "self-signed" : "name mismatch");
    window.dialogs.shown.clear();
    Start(certificate);
    std::string why;
    auto pop = WireProxy::Start(servers->Pop3sPort(), {}, &why);
    ASSERT_TRUE(pop) << why;
    auto smtp = WireProxy::Start(servers->SmtpsAuthPort(), {}, &why);
    ASSERT_TRUE(smtp) << why;

    window.dialogs.queue(false);  // do not trust it
    Receive(pop->Port(), kSslTls);
    EXPECT_NE(FirstError().find("Certificate of 127.0.0.1 refused: "), std::string::npos) << FirstError();
    EXPECT_NE(FirstError().find("SHA-256 fingerprint: " + servers->CertificateFingerprint()), std::string::npos);
    // The question names the account and its server, and Enter answers No.
    EXPECT_TRUE(contains(window.dialogs.texts(Kind::Confirm), "Receive account, server 127.0.0.1 port " +
                                                                  std::to_string(pop->Port()) +
                                                                  ":\n\nTrust the certificate of 127.0.0.1"));
    EXPECT_TRUE(lastQuestionDefaultsToNo(window.dialogs));
    EXPECT_TRUE(listrows::Count(window->pophistlist) == 0);

    window.dialogs.queue(false);
    ConnectSmtp(smtp->Port(), kSslTls, "alice", "secret");
    EXPECT_EQ(window.dialogs.errors().size(), 2u);
    EXPECT_TRUE(contains(window.dialogs.texts(Kind::Confirm),
                         "Send account, server 127.0.0.1 port " + std::to_string(smtp->Port()) + ":"));
    EXPECT_TRUE(lastQuestionDefaultsToNo(window.dialogs));

    ASSERT_TRUE(pop->WaitForClosed(1));
    ASSERT_TRUE(smtp->WaitForClosed(1));
    EXPECT_TRUE(ClientAbandonedHandshake(pop->FromClient()));
    EXPECT_TRUE(ClientAbandonedHandshake(smtp->FromClient()));
    EXPECT_EQ(servers->Pop3Log().find("Login: user="), std::string::npos);
    for (const std::string& line : servers->SmtpCommands("smtps-auth")) {
      EXPECT_EQ(line.rfind("AUTH", 0), std::string::npos) << line;
      EXPECT_EQ(line.rfind("MAIL", 0), std::string::npos) << line;
    }
    window.Close();
  }
}

// Nobody is there to compare a fingerprint: a check by itself reports the refusal in the
// status bar, asks nothing and trusts nothing.
TEST_F(SecureWindow, ACheckBySelfNeverTrustsAnUntrustedCertificate) {
  Start(TestCertificate::SelfSigned);
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  window->insavecheck->setChecked(true);
  window.ReceiveAccount("127.0.0.1", servers->Pop3sPort(), "alice", "secret");
  window->inSecurity->setCurrentIndex(kSslTls);
  window->inCheckMinutes->setValue(5);
  window->autoCheck_->Elapsed();
  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_NE(window->statusText().find("Checking for mail failed at "), std::string::npos) << window->statusText();
  EXPECT_NE(window->statusText().find("Certificate of 127.0.0.1 refused: "), std::string::npos);
  EXPECT_EQ(window->inCertFingerprint, "");
  EXPECT_EQ(session::ReadBytes(window.Folder() + "corvane.ini").find("CertFingerprint"), std::string::npos);
  EXPECT_EQ(servers->Pop3Log().find("Login: user="), std::string::npos);
  EXPECT_EQ(listrows::Count(window->pophistlist), 0);
}

TEST_F(SecureWindow, ConfirmedFingerprintIsPinnedForTheAccountAndSaved) {
  Start(TestCertificate::SelfSigned);
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  window->insavecheck->setChecked(true);
  window.dialogs.queue(true);  // trust it
  Receive(servers->Pop3sPort(), kSslTls);
  EXPECT_EQ(window.dialogs.errors().size(), 1u);  // the refusal, once
  EXPECT_EQ(window->inCertFingerprint, servers->CertificateFingerprint());
  EXPECT_EQ(Rows(window->pophistlist, 1), Lines{"First"});
  window.Disconnect();
  const std::string ini = session::ReadBytes(window.Folder() + "corvane.ini");
  EXPECT_NE(ini.find("CertFingerprint=" + servers->CertificateFingerprint()), std::string::npos) << ini;
}

TEST_F(SecureWindow, NoDowngradeAndARefusedLoginNamesTheAccount) {
  Start();
  ConnectSmtp(servers->SmtpPort(), kStartTls, "alice", "secret");
  EXPECT_EQ(FirstError(), "127.0.0.1 does not offer a secure connection (STARTTLS)");
  ConnectSmtp(servers->SmtpTlsRefusePort(), kStartTls, "alice", "secret");
  EXPECT_EQ(window.dialogs.errors().back().rfind("127.0.0.1 refused a secure connection (STARTTLS): 454", 0), 0u);
  for (const char* server : {"smtp", "tlsrefuse"}) {
    for (const std::string& line : servers->SmtpCommands(server)) {
      EXPECT_EQ(line.rfind("AUTH", 0), std::string::npos) << line;
      EXPECT_EQ(line.rfind("MAIL", 0), std::string::npos) << line;
    }
  }

  ConnectSmtp(servers->SmtpStartTlsPort(), kStartTls, "alice", "not-the-password");
  const std::string refused = window.dialogs.errors().back();
  EXPECT_EQ(refused.rfind("Login as alice at 127.0.0.1 refused: 535", 0), 0u) << refused;
  EXPECT_EQ(refused.find("not-the-password"), std::string::npos);
  EXPECT_EQ(window->statusText().find("not-the-password"), std::string::npos);
  EXPECT_FALSE(window->ZnSMTP1->Connected);
}

TEST_F(SecureWindow, AHandshakeThatNeverCompletesEndsAfterTimeOutOrOnCancel) {
  Start();
  window->ZnSMTP1->TimeOut = 400;
  ConnectSmtp(servers->HangPort(), kSslTls);
  EXPECT_EQ(FirstError(), "Secure connection to 127.0.0.1 timed out.");
  EXPECT_FALSE(window->ZnSMTP1->Connected);

  // The receive account waits its full minute; the disconnect button ends the wait.
  QTimer::singleShot(300, &*window, [&] { window.Disconnect(); });
  Receive(servers->HangPort(), kSslTls);
  EXPECT_EQ(window.dialogs.errors().back(), "Secure connection to 127.0.0.1 canceled.");
  EXPECT_FALSE(window->ZnPOP31->Connected);
}

TEST_F(SecureWindow, Pop3SaslLoginTakesPlainOverTlsAndWithholdsItWithoutTls) {
  Start();
  WriteBytes(window.Folder() + "corvane.ini", "[INBOX]\r\nLogin=Password\r\nCAFile=" + servers->CaFile() + "\r\n");
  window.Open();
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  Receive(servers->Pop3sPort(), kSslTls);
  window.Disconnect();
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_NE(servers->Pop3Log().find("method=PLAIN"), std::string::npos) << servers->Pop3Log();
  EXPECT_EQ(Rows(window->pophistlist, 1), Lines{"First"});

  // Dovecot here offers PLAIN and LOGIN only: without TLS the password stays home.
  RecordingProxy proxy(servers->Pop3Port());
  Receive(proxy.Port(), kNone);
  EXPECT_EQ(window.dialogs.errors().back().rfind("Cannot log in as alice at 127.0.0.1: without an encrypted", 0), 0u);
  EXPECT_EQ(proxy.Commands(), (Lines{"CAPA", "QUIT"}));
}

TEST_F(SecureWindow, AnAccountAtNoneSpeaksTodaysPlainDialogue) {
  Start();
  RecordingProxy proxy(servers->Pop3Port());
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  Receive(proxy.Port(), kNone);
  window.Disconnect();
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_EQ(proxy.Commands(), (Lines{"USER alice", "PASS secret", "STAT", "CAPA", "UIDL", "RETR 1", "DELE 1", "QUIT"}));
}

}  // namespace
