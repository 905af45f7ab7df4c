// TZnSocket: connecting, closing, status reporting, the error table and the timer,
// against real loopback sockets.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <memory>

#include "FailureOf.h"
#include "NetTestSupport.h"
#include "ScriptedServer.h"

namespace {

class SocketCore : public ::testing::Test {
 protected:
  void SetUp() override {
    socket = std::make_unique<TTestSocket>();
    socket->Host = "127.0.0.1";
    socket->ReportLevel = 16;
    socket->TimeOut = 5000;  // a safety net; no test relies on it unless it says so
    log.Attach(*socket);
    socket->OnConnectionFailed = [this](TObject*) { ++failedEvents; };
    socket->OnDisconnect = [this](TObject*) { ++disconnects; };
    socket->OnHostResolved = [this](TObject*) { ++resolved; };
  }

  QObject scope;
  std::unique_ptr<TTestSocket> socket;
  StatusLog log;
  int failedEvents = 0;
  int disconnects = 0;
  int resolved = 0;
};

TEST_F(SocketCore, DottedAddressConnectsWithoutLookup) {
  ScriptedServer server("E\n");
  socket->Port = server.Port();
  socket->ReportLevel = 8;
  int connects = 0;
  socket->OnConnect = [&](TObject* sender) {
    EXPECT_EQ(sender, socket.get());
    ++connects;
  };
  socket->Connect();
  EXPECT_TRUE(socket->Connected);
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(resolved, 0);
  // The timer runs only for the connect wait, not for resolving.
  ASSERT_GE(log.Texts.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(log.Texts.begin(), log.Texts.begin() + 3),
            (std::vector<std::string>{"Connecting", "Resolve Host", "Timer On"}));
  EXPECT_EQ(log.Count("Timer On"), 1);
  EXPECT_EQ(log.Count("Timer Off"), 1);
  EXPECT_EQ(socket->RemoteAddress.Port(), server.Port());
  EXPECT_EQ(FailureOf([&] { socket->Connect(); }), "Already connected");
  socket->Disconnect();
  ASSERT_TRUE(server.WaitFinished());
  EXPECT_EQ(server.Failures(), "");
}

TEST_F(SocketCore, HostNameIsLookedUp) {
  ScriptedServer server("E\n");
  socket->Host = "localhost";
  socket->Port = server.Port();
  socket->Connect();
  EXPECT_TRUE(socket->Connected);
  EXPECT_EQ(resolved, 1);
  EXPECT_EQ(socket->RemoteAddress.Text(), "127.0.0.1");
  EXPECT_EQ(log.Count("Timer On"), 2);
  socket->Disconnect();
  ASSERT_TRUE(server.WaitFinished());
}

TEST_F(SocketCore, ProxyIsConnectedInsteadOfHost) {
  ScriptedServer server("S: via proxy\nE\n");
  socket->Host = "";  // alone it would give "Null Remote Address"
  socket->Port = ClosedPort();
  socket->Proxy = "127.0.0.1";
  socket->ProxyPort = server.Port() | 0x10000;  // only the low 16 bits count
  socket->Connect();
  EXPECT_EQ(socket->ReadLn(), "via proxy\r\n");
  EXPECT_EQ(socket->RemoteAddress.Port(), server.Port());
  EXPECT_EQ(resolved, 0);
  socket->Disconnect();
  ASSERT_TRUE(server.WaitFinished());
}

TEST_F(SocketCore, NullRemoteAddressAndInvalidHostHandler) {
  socket->Host = "";
  EXPECT_EQ(FailureOf([&] { socket->Connect(); }), "Null Remote Address");
  EXPECT_FALSE(socket->Connected);

  // The handler gets one chance; a second failure is final without asking again.
  int asked = 0;
  socket->OnInvalidHost = [&](bool& Handled) {
    ++asked;
    Handled = true;
  };
  EXPECT_EQ(FailureOf([&] { socket->Connect(); }), "Null Remote Address");
  EXPECT_EQ(asked, 1);

  // A handler that declines ends it at once.
  socket->OnInvalidHost = [&](bool&) { ++asked; };
  EXPECT_EQ(FailureOf([&] { socket->Connect(); }), "Null Remote Address");
  EXPECT_EQ(asked, 2);

  ScriptedServer server("E\n");
  socket->Port = server.Port();
  socket->OnInvalidHost = [&](bool& Handled) {
    ++asked;
    socket->Host = "127.0.0.1";
    Handled = true;
  };
  socket->Connect();
  EXPECT_EQ(asked, 3);
  EXPECT_TRUE(socket->Connected);
  socket->Disconnect();
  ASSERT_TRUE(server.WaitFinished());
}

TEST_F(SocketCore, RefusedConnectFailsThenSocketConnectsAgain) {
  socket->Port = ClosedPort();
  EXPECT_EQ(FailureOf([&] { socket->Connect(); }), "Connection Failed");
  EXPECT_EQ(failedEvents, 1);
  EXPECT_FALSE(socket->Connected);
  EXPECT_EQ(socket->LastErrorCode, 10061);

  ScriptedServer server("S: hi\nE\n");
  socket->Port = server.Port();
  socket->Connect();
  EXPECT_EQ(socket->ReadLn(), "hi\r\n");
  socket->Disconnect();
  ASSERT_TRUE(server.WaitFinished());
  EXPECT_EQ(server.Failures(), "");
}

TEST_F(SocketCore, ConnectTimesOutAgainstSilentPeer) {
  FullBacklogListener silent;
  socket->Port = silent.Port();
  socket->TimeOut = 100;
  QElapsedTimer clock;
  clock.start();
  int abortsAtFailure = -1;
  socket->OnConnectionFailed = [&](TObject*) { abortsAtFailure = socket->Aborts; };
  EXPECT_EQ(FailureOf([&] { socket->Connect(); }), "Connection Timed out");
  EXPECT_GE(clock.elapsed(), 100);
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_EQ(abortsAtFailure, 1);  // Abort runs before OnConnectionFailed
  EXPECT_TRUE(socket->TimedOut);
  EXPECT_EQ(log.Count("Timer Triggered"), 1);
  EXPECT_FALSE(socket->Connected);
}

TEST_F(SocketCore, CancelEndsConnectWait) {
  FullBacklogListener silent;
  socket->Port = silent.Port();
  socket->TimeOut = 0;
  Later(&scope, 50, [&] { socket->Cancel(); });
  EXPECT_EQ(FailureOf([&] { socket->Connect(); }), "Connection Canceled");
  EXPECT_EQ(failedEvents, 1);
  EXPECT_EQ(socket->Aborts, 0);
}

TEST_F(SocketCore, ServerCloseDrainsUnreadBytesAndLeavesFreshSocket) {
  ScriptedServer server("R: 12345\nX\n");
  socket->Port = server.Port();
  int received = 0;
  socket->OnDataReceived = [&](TObject*) { ++received; };
  socket->Connect();
  ASSERT_TRUE(server.WaitFinished());
  ASSERT_TRUE(PumpUntil([&] { return !socket->Connected; }));
  EXPECT_EQ(socket->ReceiveBuffer.ToString(), "12345");
  EXPECT_EQ(disconnects, 1);
  EXPECT_NE(socket->SocketHandle(), NoSocket);
  // Nothing more fires for the closed connection.
  PumpUntil([] { return false; }, 50);
  EXPECT_EQ(disconnects, 1);

  ScriptedServer second("S: again\nE\n");
  socket->Port = second.Port();
  socket->ReceiveBuffer.Clear();
  socket->Connect();
  EXPECT_EQ(socket->ReadLn(), "again\r\n");
  socket->Disconnect();
  EXPECT_EQ(disconnects, 2);
  ASSERT_TRUE(second.WaitFinished());
}

TEST_F(SocketCore, DisconnectWhileIdleStillClosesAndReopens) {
  TSocketHandle before = socket->SocketHandle();
  EXPECT_NE(before, NoSocket);
  socket->ReportLevel = 4;
  socket->Disconnect();
  EXPECT_EQ(disconnects, 1);
  EXPECT_NE(socket->SocketHandle(), NoSocket);
  // "Disconnecting" is level 8, "Request Close Socket" level 4.
  EXPECT_EQ(log.Texts, std::vector<std::string>{"Request Close Socket"});
}

TEST_F(SocketCore, ReportLevelFiltersStatusTexts) {
  socket->ReportLevel = 0;
  socket->Disconnect();
  socket->Cancel();
  EXPECT_TRUE(log.Texts.empty());
  EXPECT_EQ(socket->Status, "");

  socket->ReportLevel = 16;
  socket->Disconnect();
  EXPECT_EQ(log.Texts, (std::vector<std::string>{"Disconnecting", "Request Close Socket"}));
  EXPECT_EQ(socket->Status, "Request Close Socket");
}

TEST_F(SocketCore, ErrorTableTexts) {
  EXPECT_EQ(socket->LookupErrorMessage(10061), "10061:Connection refused");
  EXPECT_EQ(socket->LookupErrorMessage(10065), "10065:No route to Host");
  EXPECT_EQ(socket->LookupErrorMessage(11004), "11004:Valid name, no data record of requested type");
  EXPECT_EQ(socket->LookupErrorMessage(12345), "Unknown Error No. 12345");
  EXPECT_EQ(socket->LookupErrorMessage(0), "");
  EXPECT_EQ(ErrnoToSocketError(ECONNREFUSED), 10061);
  EXPECT_EQ(ErrnoToSocketError(ETIMEDOUT), 10060);
  EXPECT_EQ(ErrnoToSocketError(EHOSTUNREACH), 10065);
}

TEST_F(SocketCore, ErrorManagerToleratesByMask) {
  std::vector<std::pair<int, std::string>> errors;
  socket->OnSocketError = [&](TObject*, uint16_t code, const std::string& text) { errors.emplace_back(code, text); };
  std::string text = "stale";
  // 10047 has every bit of 10035 set, so it passes like 10035 itself.
  socket->SocketService().SetLastError(10047);
  socket->ErrorManager(10035, text);
  EXPECT_EQ(text, "");
  EXPECT_EQ(socket->LastErrorCode, 10047);
  EXPECT_TRUE(errors.empty());

  socket->SocketService().SetLastError(10061);
  EXPECT_EQ(FailureOf([&] { socket->ErrorManager(10035, text); }), "10061:Connection refused");
  EXPECT_EQ(text, "10061:Connection refused");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], (std::pair<int, std::string>{10061, "10061:Connection refused"}));
}

TEST_F(SocketCore, RequireConnectionGivesOneChance) {
  EXPECT_EQ(FailureOf([&] { socket->RequireConnection(); }), "Not Connected");
  int asked = 0;
  socket->OnConnectionRequired = [&](bool& Handled) {
    ++asked;
    Handled = true;  // claims success without connecting
  };
  EXPECT_EQ(FailureOf([&] { socket->RequireConnection(); }), "Not Connected");
  EXPECT_EQ(asked, 1);

  ScriptedServer server("E\n");
  socket->Port = server.Port();
  socket->OnConnectionRequired = [&](bool& Handled) {
    socket->Connect();
    Handled = true;
  };
  socket->RequireConnection();
  EXPECT_TRUE(socket->Connected);
  socket->Disconnect();
  ASSERT_TRUE(server.WaitFinished());
}

TEST_F(SocketCore, NegativeTimeOutIsRangeError) {
  ScriptedServer server("E\n", 500);
  socket->Port = server.Port();
  socket->TimeOut = -1;
  EXPECT_THROW(socket->Connect(), ERangeError);
}

TEST(ThreadTimer, TicksUntilIntervalZeroOrDisabled) {
  TThreadTimer timer;
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000u);
  int ticks = 0;
  timer.SetInterval(5);
  timer.SetOnTimer([&](TObject* sender) {
    EXPECT_EQ(sender, &timer);
    ++ticks;
  });
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }));  // it repeats
  timer.SetInterval(0);
  int stopped = ticks;
  PumpUntil([] { return false; }, 40);
  EXPECT_EQ(ticks, stopped);
  EXPECT_TRUE(timer.Enabled());

  timer.SetInterval(5);
  ASSERT_TRUE(PumpUntil([&] { return ticks > stopped; }));
  timer.SetEnabled(false);
  stopped = ticks;
  PumpUntil([] { return false; }, 40);
  EXPECT_EQ(ticks, stopped);
}

TEST(ThreadTimer, FailureInHandlerStaysInsideTheTimer) {
  TThreadTimer timer;
  std::string seen;
  TThreadTimer::ApplicationExceptionHandler = [&](const std::exception& e) { seen = e.what(); };
  timer.SetInterval(5);
  timer.SetOnTimer([&](TObject*) {
    timer.SetEnabled(false);
    throw Exception("tick failed");
  });
  EXPECT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "tick failed");
  TThreadTimer::ApplicationExceptionHandler = nullptr;
}

TEST(SocketInfo, FirstComponentDescribesService) {
  // Another test's component may be alive; at least one describes the service.
  TZnSocket first;
  TZnSocket second;
  EXPECT_TRUE(second.SocketInfo.Count() == 0);
  if (first.SocketInfo.Count() > 0) {
    ASSERT_EQ(first.SocketInfo.Count(), 6);
    EXPECT_EQ(first.SocketInfo[0], "Version= 1.1");
    EXPECT_EQ(first.SocketInfo[5].rfind("Max Udp pack size= ", 0), 0u);
  }
}

}  // namespace
