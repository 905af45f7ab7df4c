// The real-server fixture itself: if these fail, the integration tests cannot be trusted.
#include <gtest/gtest.h>

#include <QTcpSocket>
#include <filesystem>

#include "RealMailServers.h"

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

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
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

TEST(RealMailServers, StoppingClosesBothPorts) {
  auto servers = startServers();
  ASSERT_TRUE(servers);
  const uint16_t pop3 = servers->Pop3Port(), smtp = servers->SmtpPort();
  const std::string folder = servers->Folder();
  servers.reset();
  for (uint16_t port : {pop3, smtp}) {
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", port);
    EXPECT_FALSE(socket.waitForConnected(kWaitMs)) << port;
  }
  EXPECT_FALSE(std::filesystem::exists(folder));
}
