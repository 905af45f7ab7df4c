// The real-server fixture itself: if these fail, the integration tests cannot be trusted.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "RealMailServers.h"
#include "WireProxy.h"

namespace {

constexpr int kWaitMs = 10000;

// A plain blocking line client, independent of the program's own socket code.
class LineClient {
 public:
  explicit LineClient(uint16_t port) {
    socket_.connectToHost("127.0.0.1", port);
    connected_ = socket_.waitForConnected(kWaitMs);
  }
  bool connected() const { return connected_; }
  void send(const std::string& bytes) {
    socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    socket_.waitForBytesWritten(kWaitMs);
  }
  std::string line() {
    while (!socket_.canReadLine())
      if (!socket_.waitForReadyRead(kWaitMs)) return "<no reply>";
    return socket_.readLine().toStdString();
  }
  std::string command(const std::string& text) {
    send(text + "\r\n");
    return line();
  }
  // A multi-line POP3 answer up to and including the terminating ".".
  std::string body() {
    std::string all;
    for (int i = 0; i < 10000; ++i) {
      std::string next = line();
      all += next;
      if (next == ".\r\n" || next == "<no reply>") break;
    }
    return all;
  }

 private:
  QTcpSocket socket_;
  bool connected_ = false;
};

std::unique_ptr<RealMailServers> startServers() {
  std::string why;
  auto servers = RealMailServers::Start(&why);
  EXPECT_TRUE(servers) << why;
  return servers;
}

std::unique_ptr<RealMailServers> startTlsServers(TestCertificate certificate = TestCertificate::Trusted) {
  std::string why;
  auto servers = RealMailServers::StartTls(certificate, &why);
  EXPECT_TRUE(servers) << why;
  return servers;
}

std::unique_ptr<WireProxy> startProxy(uint16_t port, WireDelays delays = {}) {
  std::string why;
  auto proxy = WireProxy::Start(port, delays, &why);
  EXPECT_TRUE(proxy) << why;
  return proxy;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// curl is an independent TLS and SASL client: what it accepts, a client that follows the
// standards can use; what it refuses with a certificate error, the servers really present.
struct CurlResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

CurlResult curl(const QStringList& arguments) {
  QProcess process;
  process.start("curl", QStringList{"-sS", "--max-time", "20"} + arguments);
  CurlResult result;
  if (!process.waitForStarted(kWaitMs) || !process.waitForFinished(30000)) {
    process.kill();
    process.waitForFinished(kWaitMs);
    result.err = "curl did not run or did not finish";
    return result;
  }
  result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  result.out = process.readAllStandardOutput().toStdString();
  result.err = process.readAllStandardError().toStdString();
  return result;
}

constexpr int kCurlCertificateProblem = 60;
constexpr int kCurlSendFailed = 55;
constexpr int kCurlTlsRefused = 64;
constexpr int kCurlLoginDenied = 67;

QString url(const char* scheme, uint16_t port, const char* path = "/") {
  return QString("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(path);
}

QString writeMessage(const RealMailServers& servers) {
  const std::string path = servers.Folder() + "/outgoing.eml";
  std::ofstream(path, std::ios::binary) << "Subject: over TLS\r\n\r\nsent securely\r\n";
  return QString::fromStdString(path);
}

CurlResult sendMail(const RealMailServers& servers, const QString& target, const QStringList& options) {
  return curl(options + QStringList{"--mail-from", "me@here.test", "--mail-rcpt", "alice@example.org", "--upload-file",
                                    writeMessage(servers), target});
}

}  // namespace

TEST(RealMailServers, Pop3ServesDeliveredMessagesInOrderAndRemovesDeletedOnesAtQuit) {
  auto servers = startServers();
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  servers->Deliver("alice", "Subject: one\r\n\r\nfirst\r\n");
  servers->Deliver("alice", "Subject: two\r\n\r\n.dot at start\nbare LF\r\n");
  ASSERT_EQ(servers->Mailbox("alice").size(), 2u);
  EXPECT_EQ(servers->Mailbox("alice")[1], "Subject: two\r\n\r\n.dot at start\nbare LF\r\n");

  LineClient pop(servers->Pop3Port());
  ASSERT_TRUE(pop.connected());
  EXPECT_TRUE(startsWith(pop.line(), "+OK"));
  EXPECT_TRUE(startsWith(pop.command("USER alice"), "+OK"));
  EXPECT_TRUE(startsWith(pop.command("PASS secret"), "+OK"));
  EXPECT_TRUE(startsWith(pop.command("STAT"), "+OK 2 "));
  EXPECT_TRUE(startsWith(pop.command("RETR 2"), "+OK"));
  EXPECT_EQ(pop.body(), "Subject: two\r\n\r\n..dot at start\r\nbare LF\r\n.\r\n");
  EXPECT_TRUE(startsWith(pop.command("DELE 1"), "+OK"));
  EXPECT_TRUE(startsWith(pop.command("QUIT"), "+OK"));
  EXPECT_EQ(servers->Mailbox("alice"), std::vector<std::string>{"Subject: two\r\n\r\n.dot at start\nbare LF\r\n"});
}

TEST(RealMailServers, Pop3RefusesAWrongPasswordAndKnowsUsersAddedLater) {
  auto servers = startServers();
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  {
    LineClient pop(servers->Pop3Port());
    ASSERT_TRUE(pop.connected());
    pop.line();
    pop.command("USER alice");
    EXPECT_TRUE(startsWith(pop.command("PASS wrong"), "-ERR"));
  }
  servers->AddUser("bob", "pw");
  LineClient pop(servers->Pop3Port());
  ASSERT_TRUE(pop.connected());
  pop.line();
  pop.command("USER bob");
  EXPECT_TRUE(startsWith(pop.command("PASS pw"), "+OK"));
  EXPECT_EQ(pop.command("STAT"), "+OK 0 0\r\n");
}

TEST(RealMailServers, SmtpKeepsTheExactDataAndDeliversToKnownLocalPartsOfAnyDomain) {
  auto servers = startServers();
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  LineClient smtp(servers->SmtpPort());
  ASSERT_TRUE(smtp.connected());
  EXPECT_TRUE(startsWith(smtp.line(), "220"));
  EXPECT_TRUE(startsWith(smtp.command("HELO client"), "250"));
  for (int round = 1; round <= 2; ++round) {
    EXPECT_TRUE(startsWith(smtp.command("MAIL FROM:<me@here.test>"), "250"));
    EXPECT_TRUE(startsWith(smtp.command("RCPT TO:<alice@example.org>"), "250"));
    EXPECT_TRUE(startsWith(smtp.command("RCPT TO:<stranger@example.org>"), "250"));
    EXPECT_TRUE(startsWith(smtp.command("RCPT TO:<refused.user@example.org>"), "550"));
    EXPECT_TRUE(startsWith(smtp.command("DATA"), "354"));
    smtp.send("Subject: " + std::to_string(round) + "\r\n\r\n..stuffed\r\n\xff\xfe\r\n.\r\n");
    EXPECT_TRUE(startsWith(smtp.line(), "250"));
  }
  EXPECT_TRUE(startsWith(smtp.command("QUIT"), "221"));

  const std::vector<std::string> expected{"Subject: 1\r\n\r\n.stuffed\r\n\xff\xfe\r\n",
                                          "Subject: 2\r\n\r\n.stuffed\r\n\xff\xfe\r\n"};
  EXPECT_EQ(servers->SmtpReceived(), expected);
  EXPECT_EQ(servers->Mailbox("alice"), expected);
  EXPECT_TRUE(servers->Mailbox("stranger").empty());
}

TEST(RealMailServers, PlainStartOffersNoTlsAtAll) {
  auto servers = startServers();
  ASSERT_TRUE(servers);
  EXPECT_EQ(servers->Pop3sPort(), 0);
  EXPECT_EQ(servers->SmtpsPort(), 0);
  EXPECT_EQ(servers->CaFile(), "");
  LineClient pop(servers->Pop3Port());
  ASSERT_TRUE(pop.connected());
  pop.line();
  EXPECT_TRUE(startsWith(pop.command("CAPA"), "+OK"));
  const std::string capabilities = pop.body();
  EXPECT_NE(capabilities.find("USER\r\n"), std::string::npos) << capabilities;
  EXPECT_EQ(capabilities.find("STLS"), std::string::npos) << capabilities;
  EXPECT_TRUE(startsWith(pop.command("STLS"), "-ERR"));
}

TEST(RealMailServers, Pop3OverImplicitTlsAndStlsForAClientThatTrustsTheTestCa) {
  auto servers = startTlsServers();
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  servers->Deliver("alice", "Subject: one\r\n\r\nfirst\r\n");
  const QString ca = QString::fromStdString(servers->CaFile());

  // The certificate is good for the address and for the name.
  CurlResult pop3s = curl({"--cacert", ca, "-u", "alice:secret", url("pop3s", servers->Pop3sPort())});
  EXPECT_EQ(pop3s.exitCode, 0) << pop3s.err;
  EXPECT_EQ(pop3s.out, "1 23\r\n");
  CurlResult byName =
      curl({"--cacert", ca, "-u", "alice:secret", QString("pop3s://localhost:%1/1").arg(servers->Pop3sPort())});
  EXPECT_EQ(byName.exitCode, 0) << byName.err;
  EXPECT_EQ(byName.out, "Subject: one\r\n\r\nfirst\r\n");
  // STLS on the plain port, and plain logins there still work.
  CurlResult stls = curl({"--ssl-reqd", "--cacert", ca, "-u", "alice:secret", url("pop3", servers->Pop3Port())});
  EXPECT_EQ(stls.exitCode, 0) << stls.err;
  EXPECT_EQ(stls.out, "1 23\r\n");
  CurlResult plain = curl({"-u", "alice:secret", url("pop3", servers->Pop3Port())});
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  // Only the test CA vouches for the certificate: the system's list does not.
  EXPECT_EQ(curl({"-u", "alice:secret", url("pop3s", servers->Pop3sPort())}).exitCode, kCurlCertificateProblem);
  EXPECT_NE(servers->Pop3Log().find("Login: user=<alice>"), std::string::npos);
}

TEST(RealMailServers, CertificateFingerprintIsTheSha256OfTheCertificateInColonHex) {
  auto servers = startTlsServers(TestCertificate::SelfSigned);
  ASSERT_TRUE(servers);
  std::ifstream in(servers->CertificateFile());
  QByteArray base64;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("-----", 0) == 0) {
      inside = !inside;
      continue;
    }
    if (inside) base64 += QByteArray::fromStdString(line);
  }
  const QByteArray digest = QCryptographicHash::hash(QByteArray::fromBase64(base64), QCryptographicHash::Sha256);
  EXPECT_EQ(servers->CertificateFingerprint(), digest.toHex(':').toUpper().toStdString());
  EXPECT_NE(servers->CaFile(), servers->CertificateFile());
}

TEST(RealMailServers, SmtpTlsServersRequireWhatTheyAdvertiseAndAcceptEveryMechanism) {
  auto servers = startTlsServers();
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  const QString ca = QString::fromStdString(servers->CaFile());
  const QString smtpsAuth = url("smtps", servers->SmtpsAuthPort());

  CurlResult anonymous = sendMail(*servers, smtpsAuth, {"--cacert", ca});
  EXPECT_EQ(anonymous.exitCode, kCurlSendFailed) << anonymous.err;
  EXPECT_NE(anonymous.err.find("530"), std::string::npos) << anonymous.err;
  for (const char* mechanism : {"PLAIN", "LOGIN", "CRAM-MD5"}) {
    CurlResult sent = sendMail(*servers, smtpsAuth,
                               {"--cacert", ca, "--login-options", QString("AUTH=") + mechanism, "-u", "alice:secret"});
    EXPECT_EQ(sent.exitCode, 0) << mechanism << ": " << sent.err;
    EXPECT_TRUE(contains(servers->SmtpCommands("smtps-auth"), std::string("* AUTH ") + mechanism + " alice ok"))
        << mechanism;
  }
  for (const char* mechanism : {"PLAIN", "CRAM-MD5"}) {
    CurlResult refused = sendMail(
        *servers, smtpsAuth, {"--cacert", ca, "--login-options", QString("AUTH=") + mechanism, "-u", "alice:wrong"});
    EXPECT_EQ(refused.exitCode, kCurlLoginDenied) << mechanism << ": " << refused.err;
    EXPECT_TRUE(contains(servers->SmtpCommands("smtps-auth"), std::string("* AUTH ") + mechanism + " alice refused"));
  }
  EXPECT_EQ(servers->SmtpReceived().size(), 3u);

  // Servers that offer fewer mechanisms: curl, left to choose, takes the strongest offered.
  EXPECT_EQ(
      sendMail(*servers, url("smtps", servers->SmtpsNoCramPort()), {"--cacert", ca, "-u", "alice:secret"}).exitCode, 0);
  EXPECT_TRUE(contains(servers->SmtpCommands("smtps-nocram"), "* AUTH PLAIN alice ok"));
  CurlResult noCram = sendMail(*servers, url("smtps", servers->SmtpsLoginOnlyPort()),
                               {"--cacert", ca, "--login-options", "AUTH=CRAM-MD5", "-u", "alice:secret"});
  EXPECT_NE(noCram.exitCode, 0);
  EXPECT_EQ(
      sendMail(*servers, url("smtps", servers->SmtpsLoginOnlyPort()), {"--cacert", ca, "-u", "alice:secret"}).exitCode,
      0);
  EXPECT_TRUE(contains(servers->SmtpCommands("smtps-login"), "* AUTH LOGIN alice ok"));

  // Implicit TLS with the login left optional; the server sees the name the client asked for.
  EXPECT_EQ(sendMail(*servers, url("smtps", servers->SmtpsPort()), {"--cacert", ca}).exitCode, 0);
  const QString byName = QString("smtps://localhost:%1").arg(servers->SmtpsPort());
  EXPECT_EQ(sendMail(*servers, byName, {"--cacert", ca}).exitCode, 0);
  EXPECT_EQ(servers->Mailbox("alice").size(), 7u);
  EXPECT_EQ(servers->Mailbox("alice")[3], "Subject: over TLS\r\n\r\nsent securely\r\n");
  const std::vector<std::string> smtps = servers->SmtpCommands("smtps");
  ASSERT_GE(smtps.size(), 3u);
  EXPECT_EQ(smtps[0], "* HELLO -");
  EXPECT_EQ(smtps[1], "* CONNECT");
  EXPECT_TRUE(contains(smtps, "* HELLO localhost"));
}

TEST(RealMailServers, StartTlsServerWantsTlsThenAuthAndTheOthersCannotUpgrade) {
  auto servers = startTlsServers();
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  const QString ca = QString::fromStdString(servers->CaFile());
  const QString starttls = url("smtp", servers->SmtpStartTlsPort());

  CurlResult inClear = sendMail(*servers, starttls, {"-u", "alice:secret"});
  EXPECT_EQ(inClear.exitCode, kCurlSendFailed) << inClear.err;
  CurlResult noLogin = sendMail(*servers, starttls, {"--ssl-reqd", "--cacert", ca});
  EXPECT_EQ(noLogin.exitCode, kCurlSendFailed) << noLogin.err;
  EXPECT_TRUE(servers->SmtpReceived().empty());
  CurlResult sent = sendMail(*servers, starttls, {"--ssl-reqd", "--cacert", ca, "-u", "alice:secret"});
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  EXPECT_EQ(servers->SmtpReceived().size(), 1u);

  // The last session, as the server read it: the login only after TLS and a fresh EHLO.
  std::vector<std::string> commands = servers->SmtpCommands("starttls");
  const auto last = std::find(commands.rbegin(), commands.rend(), "* CONNECT").base() - 1;
  commands.erase(commands.begin(), last);
  ASSERT_GE(commands.size(), 7u);
  EXPECT_EQ(commands[0], "* CONNECT");
  EXPECT_TRUE(startsWith(commands[1], "EHLO "));
  EXPECT_EQ(commands[2], "STARTTLS");
  EXPECT_EQ(commands[3], "* HELLO -");
  EXPECT_EQ(commands[4], "* TLS");
  EXPECT_TRUE(startsWith(commands[5], "EHLO "));
  EXPECT_TRUE(startsWith(commands[6], "AUTH "));

  CurlResult refused = sendMail(*servers, url("smtp", servers->SmtpTlsRefusePort()), {"--ssl-reqd", "--cacert", ca});
  EXPECT_EQ(refused.exitCode, kCurlTlsRefused) << refused.err;
  EXPECT_NE(refused.err.find("454"), std::string::npos) << refused.err;
  CurlResult plain = sendMail(*servers, url("smtp", servers->SmtpPort()), {"--ssl-reqd", "--cacert", ca});
  EXPECT_EQ(plain.exitCode, kCurlTlsRefused) << plain.err;
  for (const char* server : {"tlsrefuse", "smtp"}) {
    for (const std::string& line : servers->SmtpCommands(server))
      EXPECT_FALSE(startsWith(line, "MAIL") || startsWith(line, "AUTH")) << server << ": " << line;
  }
  EXPECT_EQ(servers->SmtpReceived().size(), 1u);
}

struct Untrusted {
  TestCertificate certificate;
  const char* reason;  // as curl words it
  const char* name;
};

void PrintTo(const Untrusted& untrusted, std::ostream* out) {
  *out << untrusted.name;
}

class UntrustedCertificate : public testing::TestWithParam<Untrusted> {};

TEST_P(UntrustedCertificate, IsRefusedForItsOwnReasonOnEveryTlsPortBeforeAnyLogin) {
  auto servers = startTlsServers(GetParam().certificate);
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  const QString ca = QString::fromStdString(servers->CaFile());
  const std::string reason = GetParam().reason;
  for (const CurlResult& refused :
       {curl({"--cacert", ca, "-u", "alice:secret", url("pop3s", servers->Pop3sPort())}),
        curl({"--ssl-reqd", "--cacert", ca, "-u", "alice:secret", url("pop3", servers->Pop3Port())}),
        sendMail(*servers, url("smtps", servers->SmtpsAuthPort()), {"--cacert", ca, "-u", "alice:secret"}),
        sendMail(*servers, url("smtp", servers->SmtpStartTlsPort()),
                 {"--ssl-reqd", "--cacert", ca, "-u", "alice:secret"})}) {
    EXPECT_EQ(refused.exitCode, kCurlCertificateProblem) << refused.err;
    EXPECT_NE(refused.err.find(reason), std::string::npos) << refused.err;
  }
  EXPECT_EQ(servers->Pop3Log().find("Login:"), std::string::npos);
  for (const char* server : {"smtps-auth", "starttls"}) {
    EXPECT_TRUE(contains(servers->SmtpCommands(server), "* HELLO -")) << server;
    for (const std::string& line : servers->SmtpCommands(server))
      EXPECT_FALSE(startsWith(line, "AUTH") || startsWith(line, "MAIL")) << server << ": " << line;
  }
}

INSTANTIATE_TEST_SUITE_P(
    RealMailServers, UntrustedCertificate,
    testing::Values(Untrusted{TestCertificate::SelfSigned, "self-signed certificate", "SelfSigned"},
                    Untrusted{TestCertificate::NameMismatch, "no alternative certificate subject", "NameMismatch"},
                    Untrusted{TestCertificate::Expired, "certificate has expired", "Expired"}),
    [](const testing::TestParamInfo<Untrusted>& info) { return std::string(info.param.name); });

TEST(RealMailServers, HangPortAcceptsAndNeverAnswers) {
  auto servers = startServers();
  ASSERT_TRUE(servers);
  QTcpSocket socket;
  socket.connectToHost("127.0.0.1", servers->HangPort());
  ASSERT_TRUE(socket.waitForConnected(kWaitMs));
  socket.write(QByteArray("\x16\x03\x01\x00\x05hello", 10));
  socket.waitForBytesWritten(kWaitMs);
  EXPECT_FALSE(socket.waitForReadyRead(500));
  EXPECT_EQ(socket.state(), QAbstractSocket::ConnectedState);
}

TEST(RealMailServers, StoppingClosesEveryPort) {
  auto servers = startTlsServers();
  ASSERT_TRUE(servers);
  const std::vector<uint16_t> ports{servers->Pop3Port(),         servers->SmtpPort(),
                                    servers->HangPort(),         servers->Pop3sPort(),
                                    servers->SmtpsPort(),        servers->SmtpsAuthPort(),
                                    servers->SmtpsNoCramPort(),  servers->SmtpsLoginOnlyPort(),
                                    servers->SmtpStartTlsPort(), servers->SmtpTlsRefusePort()};
  const std::string folder = servers->Folder();
  servers.reset();
  for (uint16_t port : ports) {
    ASSERT_NE(port, 0);
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", port);
    EXPECT_FALSE(socket.waitForConnected(kWaitMs)) << port;
  }
  EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST(WireProxy, RecordsBothDirectionsOfEachConnectionByteExact) {
  auto servers = startServers();
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  auto proxy = startProxy(servers->Pop3Port());
  ASSERT_TRUE(proxy);
  for (const char* password : {"wrong", "secret"}) {
    LineClient pop(proxy->Port());
    ASSERT_TRUE(pop.connected());
    EXPECT_TRUE(startsWith(pop.line(), "+OK"));
    pop.command("USER alice");
    pop.command(std::string("PASS ") + password);
    pop.send("QUIT\r\n");
    pop.line();
  }
  ASSERT_TRUE(proxy->WaitForClosed(2));
  EXPECT_EQ(proxy->FromClient(1), "USER alice\r\nPASS wrong\r\nQUIT\r\n");
  EXPECT_EQ(proxy->ClientLines(2), (std::vector<std::string>{"USER alice", "PASS secret", "QUIT"}));
  EXPECT_EQ(proxy->ClientLines(),
            (std::vector<std::string>{"USER alice", "PASS wrong", "QUIT", "USER alice", "PASS secret", "QUIT"}));
  const std::string answers = proxy->FromServer(2);
  EXPECT_TRUE(startsWith(answers, "+OK")) << answers;
  EXPECT_NE(answers.find("+OK Logged in.\r\n"), std::string::npos) << answers;
  // In arrival order: the greeting comes before the client says anything.
  const std::vector<WireProxy::Chunk> chunks = proxy->Chunks();
  ASSERT_FALSE(chunks.empty());
  EXPECT_FALSE(chunks.front().fromClient);
}

TEST(WireProxy, HoldsEachDirectionBackByItsDelay) {
  auto servers = startServers();
  ASSERT_TRUE(servers);
  auto proxy = startProxy(servers->Pop3Port(), {150, 100});
  ASSERT_TRUE(proxy);
  QElapsedTimer clock;
  clock.start();
  LineClient pop(proxy->Port());
  ASSERT_TRUE(pop.connected());
  EXPECT_TRUE(startsWith(pop.line(), "+OK"));
  EXPECT_GE(clock.elapsed(), 100);
  clock.restart();
  EXPECT_TRUE(startsWith(pop.command("USER alice"), "+OK"));
  EXPECT_GE(clock.elapsed(), 250);
}

TEST(WireProxy, TellsAHandshakeTheClientBrokeOffFromOneThatCompleted) {
  auto servers = startTlsServers();
  ASSERT_TRUE(servers);
  servers->AddUser("alice", "secret");
  auto proxy = startProxy(servers->Pop3sPort());
  ASSERT_TRUE(proxy);
  const QString ca = QString::fromStdString(servers->CaFile());
  const QString target = url("pop3s", proxy->Port());
  // Without the CA the certificate is untrusted; each pair once over TLS 1.3, once over 1.2.
  EXPECT_EQ(curl({"-u", "alice:secret", target}).exitCode, kCurlCertificateProblem);
  EXPECT_EQ(curl({"--cacert", ca, "-u", "alice:secret", target}).exitCode, 0);
  EXPECT_EQ(curl({"--tls-max", "1.2", "-u", "alice:secret", target}).exitCode, kCurlCertificateProblem);
  EXPECT_EQ(curl({"--tls-max", "1.2", "--cacert", ca, "-u", "alice:secret", target}).exitCode, 0);
  ASSERT_TRUE(proxy->WaitForClosed(4));
  EXPECT_TRUE(ClientAbandonedHandshake(proxy->FromClient(1)));
  EXPECT_FALSE(ClientAbandonedHandshake(proxy->FromClient(2)));
  EXPECT_TRUE(ClientAbandonedHandshake(proxy->FromClient(3)));
  EXPECT_FALSE(ClientAbandonedHandshake(proxy->FromClient(4)));
  EXPECT_FALSE(ClientAbandonedHandshake(""));
  EXPECT_FALSE(ClientAbandonedHandshake("USER alice\r\n"));

  // STLS: the plain part is readable, and the TLS part after it tells the same.
  auto plainProxy = startProxy(servers->Pop3Port());
  ASSERT_TRUE(plainProxy);
  EXPECT_EQ(curl({"--ssl-reqd", "-u", "alice:secret", url("pop3", plainProxy->Port())}).exitCode,
            kCurlCertificateProblem);
  ASSERT_TRUE(plainProxy->WaitForClosed(1));
  const std::string sent = plainProxy->FromClient(1);
  const size_t tls = sent.find("STLS\r\n");
  ASSERT_NE(tls, std::string::npos) << sent;
  EXPECT_EQ(sent.substr(0, tls).find("USER"), std::string::npos);
  EXPECT_TRUE(ClientAbandonedHandshake(sent.substr(tls + 6)));
}
