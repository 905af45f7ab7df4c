// The sign-in through the window against Dovecot, the SMTP test servers and the OAuth 2.0
// test issuer: each token mechanism both ways, a token renewed when it expires and when a
// server refuses it, a revoked sign-in, the sign-in by code, refused redirects, POP3 SASL
// with a password, today's dialogue, and no secret anywhere it must not be.
#include <QCheckBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <algorithm>

#include "AutoCheck.h"
#include "RealMailServers.h"
#include "SecretStore.h"
#include "WindowSession.h"
#include "WireProxy.h"

using session::ReadBytes;
using session::Rows;
using session::TestData;
using session::WriteBytes;
using Lines = std::vector<std::string>;
using Kind = ScriptedDialogs::Kind;

namespace {

std::string captured;  // every message Qt and the program logged

void capture(QtMsgType, const QMessageLogContext&, const QString& text) {
  captured += text.toStdString() + "\n";
}

const char* const kPassword = "Tr0ub4dor-3";

bool keyringExpected() {
  return qgetenv("CORVANE_TEST_KEYRING") == "1";
}

bool contains(const Lines& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class SignInWindow : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    servers = RealMailServers::StartOAuth("alice", &why);
    ASSERT_TRUE(servers) << why;
    servers->AddUser("alice", kPassword);
    qputenv("CORVANE_BROWSER", CORVANE_SIGNIN_DIR "/browser.sh");
    qunsetenv("CORVANE_TEST_FOREIGN_HOST");
    captured.clear();
    previous_ = qInstallMessageHandler(capture);
  }
  void TearDown() override {
    window.Close();
    qInstallMessageHandler(previous_);
  }

  // Both accounts sign in with provider at the test issuer, over TLS unless told.
  void Open(const std::string& provider, uint16_t pop3 = 0, const std::string& security = "SSL/TLS",
            uint16_t smtp = 0) {
    const std::string url = servers->OAuthUrl();
    const std::string oauth = "Login=OAuth2\r\nOAuthProvider=" + provider +
                              "\r\nOAuthClientId=corvane-test\r\nOAuthAuthUrl=" + url +
                              "/authorize\r\nOAuthTokenUrl=" + url + "/token\r\nOAuthDeviceUrl=" + url +
                              "/device\r\nOAuthScope=mail\r\nCAFile=" + servers->CaFile() + "\r\n";
    WriteBytes(window.Folder() + "corvane.ini",
               "[INBOX]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(pop3 ? pop3 : servers->Pop3sPort()) +
                   "\r\nUserId=alice\r\nPassword=\r\nSecurity=" + security + "\r\n" + oauth +
                   "[OUTBOX]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(smtp ? smtp : servers->SmtpsAuthPort()) +
                   "\r\nUserId=tester\r\nName=Tess\r\nEmail=tess@example.org\r\nSecurity=" + security + "\r\n" + oauth);
    window.Open();
    corvane::auth::OAuthOptions options;
    options.now = [this] { return clock; };
    options.pollUnitMs = 10;
    options.browserTimeoutMs = 30000;
    window->signIn_->SetOptions(options);
  }
  void Receive() { window.Connect(); }
  void Send(const std::string& subject) {
    window.Click(window->outconnect, window->TabSheet1);
    window.SendOne(subject);
  }
  std::string FirstError() const { return window.FirstError(); }
  // The issuer's log of grants, and every code and token it handed out.
  Lines Issuer(const char* what) const {
    const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(servers->OAuthControl("{}"))).object();
    Lines out;
    for (const QJsonValue& v : answer.value(what).toArray()) out.push_back(v.toString().toStdString());
    return out;
  }
  size_t Count(const std::string& entry) const {
    const Lines log = Issuer("log");
    return static_cast<size_t>(std::count(log.begin(), log.end(), entry));
  }
  void ExpectNoSecretIn(const std::string& where, const std::string& text) const {
    for (const std::string& secret : Issuer("issued"))
      EXPECT_EQ(text.find(secret), std::string::npos) << where << " holds " << secret;
    EXPECT_EQ(text.find(kPassword), std::string::npos) << where << " holds the password";
  }

  std::unique_ptr<RealMailServers> servers;
  session::Window window;
  int64_t clock = 1'800'000'000'000;

 private:
  QtMessageHandler previous_ = nullptr;
};

TEST_F(SignInWindow, ReceivesAndSendsWithEachTokenMechanismAfterSigningInOnConnect) {
  const std::pair<const char*, const char*> cases[] = {{"Custom", "OAUTHBEARER"}, {"Microsoft", "XOAUTH2"}};
  for (const auto& [provider, mechanism] : cases) {
    SCOPED_TRACE(provider);
    window.dialogs.shown.clear();
    servers->Deliver("alice", TestData("three_messages/1.eml"));
    Open(provider);
    EXPECT_EQ(window->inSignIn->text(), "Sign in");
    EXPECT_FALSE(window->inPassword->isVisible());
    Receive();
    EXPECT_EQ(FirstError(), "(none)");
    EXPECT_TRUE(contains(Rows(window->pophistlist, 1), "First"));
    EXPECT_NE(servers->Pop3Log().find(std::string("method=") + mechanism), std::string::npos);
    EXPECT_EQ(window->inSignIn->text(), "Signed in as alice");
    window.Disconnect();
    // The same issuer and client serve the send account without a second sign-in.
    EXPECT_EQ(window->outSignIn->text(), "Signed in as alice");
    Send(std::string("By ") + mechanism);
    EXPECT_EQ(FirstError(), "(none)");
    EXPECT_EQ(window->statusText(), "Success");
    EXPECT_TRUE(contains(servers->SmtpCommands("smtps-auth"), std::string("* AUTH ") + mechanism + " alice ok"));
    EXPECT_EQ(window.dialogs.messages().size(), keyringExpected() ? 0u : 1u);  // the fallback, said once
    window.Close();
  }
  EXPECT_EQ(Count("code ok"), 2u);
}

TEST_F(SignInWindow, AnExpiredTokenIsRenewedSilentlyAndARefusedOneOnceMore) {
  Open("Custom");
  Receive();
  window.Disconnect();
  ASSERT_EQ(FirstError(), "(none)");
  const size_t shown = window.dialogs.shown.size();

  // The issuer ends every token it gave, and a message waits.
  const auto expireAndReceive = [this](const char* message) {
    servers->OAuthControl(R"({"expire": true})");
    servers->Deliver("alice", TestData(message));
    Receive();
    window.Disconnect();
  };
  // Two hours later for both sides: renewed before the login.
  clock += 2 * 3600 * 1000;
  expireAndReceive("three_messages/2.eml");
  EXPECT_EQ(Count("refresh ok"), 1u);
  EXPECT_EQ(Count("introspect inactive"), 0u);
  EXPECT_EQ(Rows(window->pophistlist, 1), Lines{"Second"});

  // The server ended the token early: refused once, renewed, and the session goes on.
  expireAndReceive("three_messages/3.eml");
  EXPECT_EQ(Count("introspect inactive"), 1u);
  EXPECT_EQ(Count("refresh ok"), 2u);
  EXPECT_EQ(Rows(window->pophistlist, 1), (Lines{"Second", "Third, with a file"}));

  // The send side: its token, shared at the sign-in, is two hours old and renewed first;
  // then the SMTP server refuses an ended one once, and the send goes on with a fresh one.
  Send("Renewed before");
  window.Click(window->outdisconnect, window->TabSheet1);
  servers->OAuthControl(R"({"expire": true})");
  Send("Renewed after a refusal");
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_EQ(Count("smtp refused"), 1u);
  EXPECT_EQ(Count("smtp accepted"), 2u);
  EXPECT_EQ(Count("refresh ok"), 4u);
  EXPECT_EQ(window.dialogs.shown.size(), shown);  // nothing asked, nothing shown
  EXPECT_EQ(Count("code ok"), 1u);
}

TEST_F(SignInWindow, ARevokedSignInAsksToSignInAgain) {
  Open("Custom");
  window->inSignIn->click();
  ASSERT_EQ(window->inSignIn->text(), "Signed in as alice");
  for (const std::string& token : Issuer("issued"))
    if (token.rfind("rt-", 0) == 0) servers->OAuthPost("/revoke", "token=" + token);
  clock += 2 * 3600 * 1000;
  window.dialogs.queue(false);  // not now
  Receive();
  EXPECT_EQ(Count("refresh refused"), 1u);
  const Lines asked = window.dialogs.texts(Kind::Confirm);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].rfind("The sign-in of alice is no longer accepted (it expired or was revoked).", 0), 0u)
      << asked[0];
  EXPECT_EQ(FirstError().rfind("Not signed in: The sign-in of alice is no longer accepted", 0), 0u) << FirstError();
  EXPECT_EQ(servers->Pop3Log().find("Login: user="), std::string::npos);

  window.dialogs.queue(true);  // sign in again now, then receive
  Receive();
  EXPECT_EQ(Count("code ok"), 2u);
  EXPECT_NE(servers->Pop3Log().find("Login: user=<alice>"), std::string::npos);
}

// A check by itself renews an expired token from the stored sign-in, but never opens the
// browser or asks: without a usable sign-in it says so in the status bar.
TEST_F(SignInWindow, ACheckBySelfRenewsSilentlyButNeverSignsInOrAsks) {
  Open("Custom");
  window->inCheckMinutes->setValue(5);
  const auto check = [this](const char* outcome) {
    const size_t shown = window.dialogs.shown.size();
    window->autoCheck_->Elapsed();
    EXPECT_EQ(window->statusText().find(outcome), 0u) << window->statusText();
    EXPECT_EQ(window.dialogs.shown.size(), shown) << window.dialogs.shown.back().text;
  };
  check("Checking for mail failed at ");
  EXPECT_NE(window->statusText().find("Not signed in"), std::string::npos) << window->statusText();
  EXPECT_EQ(Count("code ok"), 0u);

  window->inSignIn->click();
  ASSERT_EQ(window->inSignIn->text(), "Signed in as alice");
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  clock += 2 * 3600 * 1000;
  check("Checked for mail at ");
  EXPECT_EQ(Count("refresh ok"), 1u);
  EXPECT_EQ(Rows(window->pophistlist, 1), Lines{"First"});

  for (const std::string& token : Issuer("issued"))
    if (token.rfind("rt-", 0) == 0) servers->OAuthPost("/revoke", "token=" + token);
  clock += 2 * 3600 * 1000;
  check("Checking for mail failed at ");
  EXPECT_EQ(Count("refresh refused"), 1u);
  EXPECT_EQ(Count("code ok"), 1u);
}

TEST_F(SignInWindow, WithoutABrowserTheSignInGoesByACodeEnteredElsewhere) {
  qputenv("CORVANE_BROWSER", "/nonexistent/browser");
  servers->OAuthControl(R"({"device_polls": 3})");
  Open("Custom");
  std::string shownCode;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (window->statusText().find("WDJB-MJHT") != std::string::npos) shownCode = window->statusText();
  });
  poll.start(1);
  window->inSignIn->click();
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_EQ(shownCode, "To sign in, open " + servers->OAuthUrl() + "/activate and enter the code WDJB-MJHT");
  EXPECT_EQ(Count("device pending"), 2u);  // slow_down, then authorization_pending
  EXPECT_EQ(Count("device ok"), 1u);
  EXPECT_EQ(window->inSignIn->text(), "Signed in as alice");
}

TEST_F(SignInWindow, AWrongStateOrAForeignRedirectIsRefused) {
  Open("Custom");
  servers->OAuthControl(R"({"state": "wrong"})");
  window->inSignIn->click();
  EXPECT_EQ(FirstError(), "The sign-in was refused: its answer did not belong to the sign-in Corvane started.");

  qputenv("CORVANE_TEST_FOREIGN_HOST", "evil.example");
  window->inSignIn->click();
  EXPECT_EQ(window.dialogs.errors().back(),
            "The sign-in was refused: an answer came from another site than the sign-in page.");
  EXPECT_EQ(Count("code ok") + Count("code refused"), 0u);  // no code was ever exchanged
  EXPECT_EQ(window->inSignIn->text(), "Sign in");
}

TEST_F(SignInWindow, Pop3SaslWithAPasswordAndTodaysDialogueForAnAccountWithoutALoginChoice) {
  WriteBytes(window.Folder() + "corvane.ini", "[INBOX]\r\nCAFile=" + servers->CaFile() + "\r\n");
  window.Open();
  std::string why;
  auto proxy = WireProxy::Start(servers->Pop3Port(), {}, &why);
  ASSERT_TRUE(proxy) << why;
  window.ReceiveAccount("127.0.0.1", proxy->Port(), "alice", kPassword);
  Receive();
  window.Disconnect();
  EXPECT_EQ(FirstError(), "(none)");
  ASSERT_TRUE(proxy->WaitForClosed(1));
  EXPECT_EQ(proxy->ClientLines(0), (Lines{"USER alice", std::string("PASS ") + kPassword, "STAT", "QUIT"}));

  // Login=Password: the strongest mechanism the server offers, CRAM-MD5 also without TLS.
  WriteBytes(window.Folder() + "corvane.ini", "[INBOX]\r\nLogin=Password\r\n");
  window.Open();
  window.ReceiveAccount("127.0.0.1", servers->Pop3Port(), "alice", kPassword);
  Receive();
  window.Disconnect();
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_NE(servers->Pop3Log().find("method=CRAM-MD5"), std::string::npos) << servers->Pop3Log();
  EXPECT_EQ(window->ZnPOP31->LoginMechanism(), "CRAM-MD5");
}

// "Keep passwords in the system keyring": the settings file keeps no password, the keyring
// (or, without one, the private file) has both, and the next start logs in with them.
TEST_F(SignInWindow, PasswordsKeptInTheKeyringLeaveTheSettingsFileAndServeTheNextStart) {
  const std::string outPassword = "0ut+Secret";
  WriteBytes(window.Folder() + "corvane.ini", "[INBOX]\r\nCAFile=" + servers->CaFile() + "\r\n");
  window.Open();
  window.ReceiveAccount("127.0.0.1", servers->Pop3Port(), "alice", kPassword);
  window.SendAccount(servers->SmtpsAuthPort());
  corvane::SetText(window->outAuthUser, "tess");
  corvane::SetText(window->outAuthPassword, outPassword);
  window->keyringcheck->setChecked(true);
  window->insaveClick();
  window->saveoutClick();
  const std::string ini = ReadBytes(window.Folder() + "corvane.ini");
  EXPECT_NE(ini.find("KeyringPasswords=1"), std::string::npos) << ini;
  ExpectNoSecretIn("the settings file", ini);
  EXPECT_EQ(ini.find(outPassword), std::string::npos) << ini;

  const std::string file = window.Folder() + "mailsecrets.txt";
  if (keyringExpected()) {
    EXPECT_FALSE(QFile::exists(QString::fromStdString(file)));
    QProcess lookup;
    lookup.start("secret-tool", {"lookup", "server", corvane::auth::SecretStore::kService, "user",
                                 "OUTBOX AuthPassword tess@127.0.0.1"});
    ASSERT_TRUE(lookup.waitForFinished(10000));
    EXPECT_EQ(lookup.readAllStandardOutput().toStdString(), outPassword);
  } else {
    EXPECT_EQ(QFile(QString::fromStdString(file)).permissions() & 0x0077, 0);  // no group or other bits
    EXPECT_NE(ReadBytes(file).find(kPassword), std::string::npos);
  }

  window.Open();
  EXPECT_TRUE(window->keyringcheck->isChecked());
  EXPECT_EQ(corvane::GetText(window->outAuthPassword), outPassword);
  Receive();
  EXPECT_EQ(FirstError(), "(none)");
  EXPECT_NE(servers->Pop3Log().find("Login: user=<alice>"), std::string::npos);
}

TEST_F(SignInWindow, NoSecretInStatusErrorsLogsSettingsOrOnTheWireOutsideTls) {
  std::string why;
  auto pop3 = WireProxy::Start(servers->Pop3Port(), {}, &why);
  ASSERT_TRUE(pop3) << why;
  auto smtp = WireProxy::Start(servers->SmtpStartTlsPort(), {}, &why);
  ASSERT_TRUE(smtp) << why;
  Open("Custom", pop3->Port(), "STARTTLS", smtp->Port());
  window->keyringcheck->setChecked(true);
  window->insavecheck->setChecked(true);
  window->outsavecheck->setChecked(true);
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  Receive();
  window.Disconnect();
  Send("Quiet");
  EXPECT_EQ(FirstError(), "(none)");
  window.Click(window->outdisconnect, window->TabSheet1);
  ASSERT_TRUE(pop3->WaitForClosed(1));
  ASSERT_TRUE(smtp->WaitForClosed(1));
  // Everything after STLS and STARTTLS is TLS records: the token went inside them.
  EXPECT_EQ(pop3->FromClient(0).rfind("STLS\r\n", 0), 0u);
  EXPECT_EQ(smtp->FromClient(0).rfind("EHLO tester\r\nSTARTTLS\r\n", 0), 0u);
  EXPECT_TRUE(contains(servers->SmtpCommands("starttls"), "* AUTH OAUTHBEARER alice ok"));
  ExpectNoSecretIn("the POP3 wire", pop3->FromClient(0));
  ExpectNoSecretIn("the SMTP wire", smtp->FromClient(0));
  ExpectNoSecretIn("the status bar", window->statusText());
  for (const auto& shown : window.dialogs.shown) ExpectNoSecretIn("a box", shown.text);
  ExpectNoSecretIn("the log", captured);
  const std::string ini = ReadBytes(window.Folder() + "corvane.ini");
  EXPECT_NE(ini.find("KeyringPasswords=1"), std::string::npos) << ini;
  EXPECT_NE(ini.find("OAuthAccount=alice"), std::string::npos) << ini;
  ExpectNoSecretIn("the settings file", ini);
  // The refresh token is kept: in the keyring, else in the private file.
  const std::string file = window.Folder() + "mailsecrets.txt";
  EXPECT_EQ(QFile::exists(QString::fromStdString(file)), !keyringExpected());
  if (!keyringExpected()) {
    EXPECT_NE(ReadBytes(file).find("\trt-"), std::string::npos);
  }
}

}  // namespace
