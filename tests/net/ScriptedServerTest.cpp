// The scripted server itself, driven by a plain blocking client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ScriptedServer.h"

namespace {

class PlainClient {
 public:
  explicit PlainClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~PlainClient() { Close(); }
  bool Connected() const { return connected_; }
  void Send(const std::string& s) { ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
  // Everything until the server closes (bounded by the receive time-out).
  std::string ReadAll() {
    std::string out;
    char b[4096];
    ssize_t n;
    while ((n = ::recv(fd_, b, sizeof b, 0)) > 0) out.append(b, n);
    return out;
  }
  std::string Read(size_t count) {
    std::string out(count, '\0');
    size_t got = 0;
    ssize_t n;
    while (got < count && (n = ::recv(fd_, out.data() + got, count - got, 0)) > 0) got += n;
    out.resize(got);
    return out;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace

TEST(ScriptedServer, PlaysDialogueAndRecordsBytes) {
  ScriptedServer server(
      "# greeting\n"
      "S: +OK ready\n"
      "C: USER alice\n"
      "R: a\\r\\nb\\x41\n"
      "B: 3\n"
      "W: 10\n"
      "X\n");
  PlainClient client(server.Port());
  ASSERT_TRUE(client.Connected());
  client.Send("USER alice\r\nxyz");
  EXPECT_EQ(client.ReadAll(), "+OK ready\r\na\r\nbA");
  ASSERT_TRUE(server.WaitFinished(5000));
  EXPECT_EQ(server.Failures(), "");
  EXPECT_EQ(server.Received(), "USER alice\r\nxyz");
}

TEST(ScriptedServer, RecordsMismatchAndTimeout) {
  ScriptedServer server("C: USER alice\nC: PASS x\nS: never\n", 200);
  PlainClient client(server.Port());
  client.Send("USER bob\n");
  ASSERT_TRUE(server.WaitFinished(5000));
  EXPECT_EQ(server.Failures(),
            "step 1 (C: USER alice): got \"USER bob\\n\"\n"
            "step 2 (C: PASS x): no line; pending \"\"\n");
}

TEST(ScriptedServer, WaitsForCloseAndAcceptsAgain) {
  ScriptedServer server("S: one\nE\nA\nS: two\nX\n");
  {
    PlainClient first(server.Port());
    EXPECT_EQ(first.Read(5), "one\r\n");
    first.Close();
  }
  PlainClient second(server.Port());
  EXPECT_EQ(second.ReadAll(), "two\r\n");
  ASSERT_TRUE(server.WaitFinished(5000));
  EXPECT_EQ(server.Failures(), "");
  EXPECT_EQ(server.Connections(), 2);
}

TEST(ScriptedServer, RefusesBadScriptLines) {
  EXPECT_THROW(ScriptedServer("Q: what\n"), std::invalid_argument);
  EXPECT_THROW(ScriptedServer("W: soon\n"), std::invalid_argument);
  EXPECT_THROW(ScriptedServer("B:\n"), std::invalid_argument);
}

TEST(ScriptedServer, ReportsMissingClient) {
  ScriptedServer server("S: hello\n", 50);
  ASSERT_TRUE(server.WaitFinished(5000));
  EXPECT_EQ(server.Failures(), "no client connected\n");
}
