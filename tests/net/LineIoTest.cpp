// TZnSocket line and stream input/output: ReadLn, Transaction, Write, SendStream and the
// endings of their waits (cancel, close, time-out), against real loopback sockets.
#include <gtest/gtest.h>
#include <poll.h>

#include <QElapsedTimer>
#include <memory>

#include "FailureOf.h"
#include "NetTestSupport.h"
#include "ScriptedServer.h"

namespace {

class LineIo : public ::testing::Test {
 protected:
  // Connects a fresh component to a server playing script.
  void Start(const std::string& script) {
    server = std::make_unique<ScriptedServer>(script);
    socket = std::make_unique<TTestSocket>();
    socket->Host = "127.0.0.1";
    socket->Port = server->Port();
    socket->TimeOut = 5000;  // a safety net against hangs
    log.Attach(*socket);
    socket->Connect();
  }
  // Closes the client and waits for the script; returns what the server received. The
  // component's first socket resets on close, dropping bytes still in flight, so a script
  // that counts bytes ends by itself before the client closes (clientFirst false).
  std::string Finish(bool clientFirst = true) {
    if (clientFirst && socket->Connected) socket->Disconnect();
    EXPECT_TRUE(server->WaitFinished());
    if (socket->Connected) socket->Disconnect();
    EXPECT_EQ(server->Failures(), "");
    return server->Received();
  }

  std::unique_ptr<ScriptedServer> server;
  QObject scope;
  std::unique_ptr<TTestSocket> socket;
  StatusLog log;
};

TEST_F(LineIo, ReadLnSplitsPacketsBareLineFeedsAndKeepsRest) {
  Start(ScriptedServer::LoadScript("net/readln_split.txt"));
  EXPECT_EQ(socket->ReadLn(), "abc\r\n");
  EXPECT_EQ(socket->ReadLn(), "def\n");
  // Returned only once the line feed arrived, CR kept with it.
  EXPECT_EQ(socket->ReadLn(), "split line\r\n");
  EXPECT_EQ(socket->ReadLn(), "x\n");
  EXPECT_EQ(socket->ReadLn(), "y\r\n");
  EXPECT_TRUE(PumpUntil([&] { return socket->ReceiveBuffer.ToString() == "rest"; }));
  Finish();
}

TEST_F(LineIo, TransactionReadsReplyCode) {
  Start(
      "C: NOOP\n"
      "S: 250 OK\n"
      "C: STAT\n"
      "S: +OK 2 320\n"
      "C: BIG\n"
      "S: 99999 too big\n"
      "C: HUGE\n"
      "S: 99999999999 beyond\n"
      "E\n");
  socket->ReportLevel = 1;
  EXPECT_EQ(socket->Transaction("NOOP"), "250 OK\r\n");
  EXPECT_EQ(socket->ReplyCode, 250);
  EXPECT_EQ(socket->LastReply, "250 OK\r\n");
  EXPECT_EQ(log.Texts, std::vector<std::string>{"250 OK\r\n"});

  EXPECT_EQ(socket->Transaction("STAT"), "+OK 2 320\r\n");
  EXPECT_EQ(socket->ReplyCode, 0);

  EXPECT_THROW(socket->Transaction("BIG"), ERangeError);
  EXPECT_EQ(socket->LastReply, "99999 too big\r\n");

  // Ten digits beyond the 32-bit range count as no number.
  EXPECT_EQ(socket->Transaction("HUGE"), "99999999999 beyond\r\n");
  EXPECT_EQ(socket->ReplyCode, 0);
  Finish();
}

TEST_F(LineIo, SendStreamGoesOutInChunksWithProgress) {
  Start("B: 40004\n");
  std::string payload;
  for (int i = 0; i < 40000; ++i) payload += static_cast<char>('A' + i % 26);
  TMemoryStream stream;
  stream.SetData(payload);
  stream.SetPosition(123);  // sent from the start whatever the position
  std::vector<int32_t> progress;
  socket->OnPacketSent = [&](TObject*) { progress.push_back(socket->BytesSent); };
  TMemoryStream empty;
  socket->SendStream(empty);  // nothing to send ends at once
  EXPECT_TRUE(progress.empty());
  socket->SendStream(stream);
  EXPECT_EQ(progress, (std::vector<int32_t>{16383, 32766, 40000}));
  EXPECT_EQ(socket->BytesSent, 40000);
  EXPECT_EQ(socket->BytesTotal, 40000);
  EXPECT_FALSE(socket->Transferring);
  // Outside SendStream the count grows but no progress event fires.
  socket->Write("tail");
  EXPECT_EQ(socket->BytesSent, 40004);
  EXPECT_EQ(progress.size(), 3u);
  EXPECT_TRUE(Finish(false) == payload + "tail");
}

TEST_F(LineIo, WriteCutsAtLimitAndNul) {
  Start("B: 32782\n");
  socket->Write(std::string(20000, 'w'));
  socket->Write(std::string("123456789\0abc", 13));
  socket->Write("");  // nothing to send returns at once
  // A line keeps its end even when its text is cut.
  socket->Writeln(std::string("cmd\0junk", 8));
  socket->Writeln(std::string(20000, 'l'));
  std::string expected = std::string(16384, 'w') + "123456789" + "cmd\r\n" + std::string(16382, 'l') + "\r\n";
  std::string received = Finish(false);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

TEST(NthField, SplitsAtEverySeparator) {
  EXPECT_EQ(NthField("+OK 2 320", ' ', 1), "+OK");
  EXPECT_EQ(NthField("+OK 2 320", ' ', 2), "2");
  EXPECT_EQ(NthField("+OK 2 320", ' ', 3), "320");
  EXPECT_EQ(NthField("+OK 2 320", ' ', 4), "");
  EXPECT_EQ(NthField("a,,b", ',', 2), "");
  EXPECT_EQ(NthField("a,,b", ',', 3), "b");
  EXPECT_EQ(NthField(",a", ',', 1), "");
  EXPECT_EQ(NthField("", ' ', 1), "");
  EXPECT_EQ(NthField("x y", ' ', 0), "");
  EXPECT_EQ(NthField("x y", ' ', -1), "");
  EXPECT_EQ(NthField("+OK 3\r\n", ' ', 2), "3\r\n");  // the last field keeps the line end
}

TEST_F(LineIo, CancelEndsReadLnAndStaysSet) {
  Start("R: early\\r\\n\nE\n");
  EXPECT_TRUE(PumpUntil([&] { return socket->ReceiveBuffer.Size() > 0; }));
  socket->Cancel();
  // A buffered line is not handed out while canceled, and stays for later.
  EXPECT_EQ(FailureOf([&] { socket->ReadLn(); }), "Socket readln aborted");
  EXPECT_TRUE(socket->Canceled);
  EXPECT_EQ(socket->ReceiveBuffer.ToString(), "early\r\n");
  EXPECT_THROW(socket->ReadLn(), EAbortError);
  Finish();
}

TEST_F(LineIo, CancelDuringReadLnWait) {
  Start("E\n");
  Later(&scope, 30, [&] { socket->Cancel(); });
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(FailureOf([&] { socket->ReadLn(); }), "Socket readln aborted");
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_TRUE(socket->Canceled);
  Finish();
}

TEST_F(LineIo, SendsWhileCanceled) {
  Start("E\n");
  socket->Cancel();
  socket->Write("ignored");  // returns without sending or raising
  EXPECT_TRUE(socket->Canceled);
  TMemoryStream stream;
  stream.SetData("also ignored");
  EXPECT_EQ(FailureOf([&] { socket->SendStream(stream); }), "Socket send aborted");
  EXPECT_FALSE(socket->Canceled);
  EXPECT_FALSE(socket->Transferring);
  EXPECT_EQ(Finish(), "");
}

TEST_F(LineIo, CancelDuringSendDiscardsUnsentRest) {
  // The server reads nothing for a while, so the socket buffers fill up.
  Start("W: 300\nE\n");
  TMemoryStream stream;
  stream.SetData(std::string(32 << 20, 's'));
  Later(&scope, 50, [&] { socket->Cancel(); });
  EXPECT_EQ(FailureOf([&] { socket->SendStream(stream); }), "Socket send aborted");
  EXPECT_FALSE(socket->Canceled);
  EXPECT_TRUE(socket->SendQueue.Empty());
  EXPECT_LT(socket->BytesSent, 32 << 20);
  socket->Disconnect();
  EXPECT_TRUE(server->WaitFinished());
}

TEST_F(LineIo, ServerCloseEndsReadLnOnceBufferHoldsNoLine) {
  Start("S: last\nR: partial\nX\n");
  EXPECT_EQ(socket->ReadLn(), "last\r\n");
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(FailureOf([&] { socket->ReadLn(); }), "Socket readln aborted");
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_FALSE(socket->Canceled);
  EXPECT_FALSE(socket->Connected);
  EXPECT_EQ(socket->ReceiveBuffer.ToString(), "partial");
  // The same for a whole exchange with a server that has gone.
  EXPECT_EQ(FailureOf([&] { socket->Transaction("NOOP"); }), "Socket send aborted");
  Finish();
}

TEST_F(LineIo, SilentServerTimesOutReadLn) {
  Start("W: 2000\n");
  socket->TimeOut = 100;
  QElapsedTimer clock;
  clock.start();
  // A session that timed out is over: closed at once, so no sign-off waits again.
  EXPECT_EQ(FailureOf([&] { socket->ReadLn(); }), "Timed out: no progress with 127.0.0.1 for 100 ms");
  EXPECT_GE(clock.elapsed(), 100);
  EXPECT_LT(clock.elapsed(), 1500);
  EXPECT_FALSE(socket->Connected);
  socket->Disconnect();
}

TEST_F(LineIo, EndlessLineEndsTheSessionWithBoundedMemory) {
  // 6 MB without a line end, sent as one stream of bytes.
  Start("S: +OK\nR: " + std::string(6 << 20, 'y') + "\nE\n");
  EXPECT_EQ(socket->ReadLn(), "+OK\r\n");
  EXPECT_EQ(FailureOf([&] { socket->ReadLn(); }), "127.0.0.1 sent a line longer than 4 MB; the connection was closed");
  EXPECT_FALSE(socket->Connected);
  EXPECT_TRUE(socket->ReceiveBuffer.Empty());
}

TEST_F(LineIo, AReaderBehindAFastServerKeepsABoundedBufferAndGetsEveryLine) {
  // 8 MB of numbered lines in one go, far more than the socket and the buffer hold.
  std::string raw;
  constexpr int kLines = 100000;
  for (int i = 0; i < kLines; ++i) raw += std::to_string(i) + std::string(70, 'q') + "\\r\\n";
  Start("R: " + raw + "\nE\n");
  EXPECT_EQ(socket->ReadLn(), "0" + std::string(70, 'q') + "\r\n");
  // However long the reader takes, reading stops near a megabyte until it asks again.
  EXPECT_FALSE(PumpUntil([&] { return socket->ReceiveBuffer.Size() > (3 << 19); }, 300));
  std::string line;
  int next = 1;
  for (; next < kLines; ++next) {
    socket->ReadLn(line);
    if (line != std::to_string(next) + std::string(70, 'q') + "\r\n") break;
  }
  EXPECT_EQ(next, kLines);
  socket->Disconnect();
}

TEST_F(LineIo, ALongLineBelowTheLimitArrivesWhole) {
  const std::string line(3 << 20, 'z');
  Start("S: " + line + "\nE\n");
  EXPECT_EQ(socket->ReadLn(), line + "\r\n");
  socket->Disconnect();
}

TEST_F(LineIo, StalledReceiverTimesOutSendStream) {
  Start("W: 2000\n");
  socket->TimeOut = 150;
  TMemoryStream stream;
  stream.SetData(std::string(32 << 20, 't'));
  EXPECT_EQ(FailureOf([&] { socket->SendStream(stream); }), "Timed out: no progress with 127.0.0.1 for 150 ms");
  EXPECT_TRUE(socket->SendQueue.Empty());
  EXPECT_FALSE(socket->Connected);
  socket->Disconnect();
}

TEST_F(LineIo, DestroyedDuringWaitEndsTheWait) {
  Start("E\n");
  Later(&scope, 30, [&] { socket.reset(); });
  TTestSocket* raw = socket.get();
  EXPECT_EQ(FailureOf([&] { raw->ReadLn(); }), "Socket readln aborted");
  EXPECT_EQ(socket, nullptr);
  EXPECT_TRUE(server->WaitFinished());
}

// A read notification that meets a running handler is delivered once the handler ends;
// one left over from a connection closed meanwhile is dropped, not read from the fresh
// socket.
TEST_F(LineIo, ReadNotificationsMeetingARunningHandler) {
  Start("B: 1\nS: early\nB: 1\nS: late\nE\n");
  std::vector<std::string> errors;
  socket->OnSocketError = [&](TObject*, uint16_t, const std::string& text) { errors.push_back(text); };
  bool closeInHandler = false;
  socket->OnPacketSent = [&](TObject*) {
    // The server answers the byte just sent while the write handler still runs.
    pollfd p{static_cast<int>(socket->SocketHandle()), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    PumpUntil([] { return false; }, 30);
    EXPECT_TRUE(socket->ReceiveBuffer.Empty());
    if (closeInHandler) socket->Disconnect();
  };
  TMemoryStream stream;
  stream.SetData("x");
  socket->SendStream(stream);
  EXPECT_EQ(socket->ReadLn(), "early\r\n");

  closeInHandler = true;
  socket->SendStream(stream);
  PumpUntil([] { return false; }, 30);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_TRUE(socket->ReceiveBuffer.Empty());
  Finish();
}

TEST_F(LineIo, DataEventsAndReceivedCount) {
  Start("R: 0123456789\nE\n");
  std::vector<std::string> events;
  socket->OnDataReceived = [&](TObject*) { events.push_back("data"); };
  socket->OnPacketRecvd = [&](TObject*) { events.push_back("packet"); };
  EXPECT_TRUE(PumpUntil([&] { return socket->ReceiveBuffer.Size() == 10; }));
  // Outside a transfer only the data event fires and nothing is counted.
  EXPECT_EQ(events, std::vector<std::string>{"data"});
  EXPECT_EQ(socket->BytesRecvd, 0);
  Finish();
}

}  // namespace
