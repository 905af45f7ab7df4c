// TZnPOP3 against the scripted loopback server: the exact command bytes, the reply
// judgement, the order of events and the busy rules.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "Base64.h"
#include "Exceptions.h"
#include "FailureOf.h"
#include "SaslLogin.h"
#include "ScriptedServer.h"
#include "Streams.h"
#include "TestCertificates.h"
#include "Znpop3.h"

namespace {

const char* const kLogin =
    "S: +OK POP3 ready\n"
    "C: USER alice\n"
    "S: +OK\n"
    "C: PASS secret\n"
    "S: +OK logged in\n";

// A component pointed at one scripted server, with every event written to a log.
struct Rig {
  explicit Rig(const std::string& script) : server(script) {
    pop.Host = "127.0.0.1";
    pop.Port = server.Port();
    pop.UserID = "alice";
    pop.Password = "secret";
    pop.TimeOut = 5000;  // bounds every wait of the socket
    pop.AttachFilePath = dir.path().toStdString() + "/";
    pop.OnConnect = [this](TObject*) { log.push_back(pop.Busy() ? "connect(busy)" : "connect"); };
    pop.OnDisconnect = [this](TObject*) { log.push_back("disconnect"); };
    pop.OnRetrieveStart = [this](TObject*) { log.push_back("retrieve-start"); };
    pop.OnRetrieveEnd = [this](TObject*) { log.push_back("retrieve-end"); };
    pop.OnSuccess = [this](TObject*) { log.push_back("success"); };
    pop.OnFailure = [this](TObject*) { log.push_back("failure"); };
    pop.OnMessage = [this](const std::string& text) { log.push_back("message:" + text); };
  }
  void Finish() {
    ASSERT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Failures(), "");
  }

  ScriptedServer server;
  QTemporaryDir dir;
  TZnPOP3 pop;
  std::vector<std::string> log;
};

using Log = std::vector<std::string>;

TEST(Pop3Dialogue, StatRepliesGiveTheMessageCount) {
  const std::pair<const char*, int> cases[] = {{"+OK 3 1200", 3}, {"+OK 0 0", 0},    {"+OK 7", 0},
                                               {"+OK x 10", 0},   {"+OK 0x10 9", 0}, {"+OK $10 9", 0}};
  for (const auto& [reply, count] : cases) {
    Rig rig(std::string(kLogin) + "C: STAT\nS: " + reply + "\nC: QUIT\nS: +OK bye\nE\n");
    rig.pop.Connect();
    EXPECT_EQ(rig.pop.MessageCount(), count) << reply;
    EXPECT_TRUE(rig.pop.Connected);
    rig.pop.Disconnect();
    EXPECT_FALSE(rig.pop.Connected);
    rig.Finish();
    EXPECT_EQ(rig.server.Received(), "USER alice\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
    EXPECT_EQ(rig.log, (Log{"connect", "disconnect"})) << reply;
  }
}

TEST(Pop3Dialogue, MissingCredentialsFailBeforeAnyConnection) {
  Rig rig("");
  rig.pop.UserID = "";
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "Authentication failed");
  int asked = 0;
  rig.pop.OnAuthenticationNeeded = [&](bool&) { ++asked; };
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "Authentication failed");
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(rig.server.Connections(), 0);
  EXPECT_FALSE(rig.pop.Busy());
}

TEST(Pop3Dialogue, HandledEmptyUserIdLogsInWithAnEmptyName) {
  Rig rig(
      "S: +OK\n"
      "C: USER \n"
      "S: +OK\n"
      "C: PASS secret\n"
      "S: +OK\n"
      "C: STAT\n"
      "S: +OK 1 10\n");
  rig.pop.UserID = "";
  int asked = 0;
  rig.pop.OnAuthenticationNeeded = [&](bool& handled) {
    ++asked;
    handled = true;
  };
  rig.pop.Connect();
  rig.Finish();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(rig.pop.MessageCount(), 1);
}

TEST(Pop3Dialogue, RefusedPasswordIsRetriedOnceWhenHandled) {
  Rig rig(
      "S: +OK ready\n"
      "C: USER alice\n"
      "S: +OK\n"
      "C: PASS secret\n"
      "S: -ERR wrong password\n"
      "C: USER alice\n"
      "S: +OK\n"
      "C: PASS second\n"
      "S: -ERR still wrong\n"
      "C: QUIT\n"
      "S: +OK\n"
      "E\n");
  int asked = 0;
  rig.pop.OnAuthenticationFailed = [&](bool& handled) {
    ++asked;
    rig.pop.Password = "second";
    handled = true;
  };
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "Authentication failed");
  rig.Finish();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(rig.log, (Log{"disconnect"}));
  EXPECT_FALSE(rig.pop.Busy());
  EXPECT_FALSE(rig.pop.Connected);
}

TEST(Pop3Dialogue, RefusedUserWithoutHandlerFailsAndSignsOff) {
  Rig rig(
      "S: +OK ready\n"
      "C: USER alice\n"
      "S: -ERR unknown\n"
      "C: QUIT\n"
      "S: +OK\n"
      "E\n");
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "Authentication failed");
  rig.Finish();
}

TEST(Pop3Dialogue, NegativeGreetingIsTheError) {
  Rig rig(
      "S: -ERR server busy\n"
      "C: QUIT\n"
      "S: +OK\n"
      "E\n");
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "-ERR server busy\r\n");
  rig.Finish();
  EXPECT_EQ(rig.log, (Log{"disconnect"}));
}

TEST(Pop3Dialogue, BareOkRepliesArePositive) {
  Rig rig(
      "S: +OK\n"
      "C: USER alice\n"
      "S: +OK\n"
      "C: PASS secret\n"
      "S: +OK\n"
      "C: STAT\n"
      "S: +OK 2 20\n"
      "C: DELE 2\n"
      "S: +OK\n"
      "C: DELE 1\n"
      "S: -ERR no such message\n");
  rig.pop.Connect();
  rig.pop.DeleteMessage(2);
  EXPECT_EQ(FailureOf([&] { rig.pop.DeleteMessage(1); }), "-ERR no such message\r\n");
  rig.Finish();
  EXPECT_EQ(rig.log, (Log{"connect", "success", "failure"}));
  EXPECT_FALSE(rig.pop.Busy());
}

TEST(Pop3Dialogue, NegativeStatStillFiresOnConnectAfterSigningOff) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: -ERR mailbox locked\nC: QUIT\nS: +OK\nE\n");
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "-ERR mailbox locked\r\n");
  rig.Finish();
  EXPECT_EQ(rig.log, (Log{"disconnect", "connect"}));
  EXPECT_EQ(rig.pop.MessageCount(), 0);
}

TEST(Pop3Dialogue, RefusedQuitStillCloses) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 0 0\nC: QUIT\nS: -ERR cannot delete\nE\n");
  rig.pop.Connect();
  EXPECT_EQ(FailureOf([&] { rig.pop.Disconnect(); }), "-ERR cannot delete\r\n");
  rig.Finish();
  EXPECT_FALSE(rig.pop.Connected);
  rig.log.clear();
  rig.pop.Disconnect();  // closed: nothing sent, nothing fired
  EXPECT_TRUE(rig.log.empty());
}

TEST(Pop3Dialogue, NothingIsSentWhileQuitAwaitsItsReply) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 1 5\nC: QUIT\nW: 1000\nS: +OK bye\nE\n");
  rig.pop.Connect();
  std::string nested = "not called";
  QTimer::singleShot(50, [&] {
    rig.pop.RetrieveMessage(1);
    rig.pop.DeleteMessage(1);
    nested = FailureOf([&] { rig.pop.Disconnect(); });
  });
  EXPECT_EQ(FailureOf([&] { rig.pop.Disconnect(); }), "(no failure)");
  rig.Finish();
  EXPECT_EQ(nested, "(no failure)");
  EXPECT_FALSE(rig.pop.Connected);
  EXPECT_EQ(rig.server.Received(), "USER alice\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
  EXPECT_EQ(rig.log, (Log{"connect", "disconnect"}));
}

TEST(Pop3Dialogue, SecondConnectLeavesTheOpenConnectionAlone) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 0 0\nC: QUIT\nS: +OK\nE\n");
  rig.pop.Connect();
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "Already connected");
  EXPECT_TRUE(rig.pop.Connected);
  rig.pop.Disconnect();
  rig.Finish();
  EXPECT_EQ(rig.log, (Log{"connect", "disconnect"}));
}

TEST(Pop3Dialogue, RetrievesFromOnConnectAndNotFromOnRetrieveEnd) {
  Rig rig(ScriptedServer::LoadScript("pop3/retrieve_two.txt"));
  rig.pop.OnConnect = [&](TObject*) {
    rig.log.push_back(rig.pop.Busy() ? "connect(busy)" : "connect");
    for (int i = 1; i <= rig.pop.MessageCount(); ++i) rig.pop.RetrieveMessage(i);
  };
  int ends = 0;
  rig.pop.OnRetrieveEnd = [&](TObject*) {
    rig.log.push_back("retrieve-end");
    if (++ends == 1) rig.pop.RetrieveMessage(2);  // busy: must do nothing
  };
  std::vector<std::string> statuses;
  rig.pop.ReportLevel = 1;
  rig.pop.OnStatus = [&](TObject*, const std::string& text) { statuses.push_back(text); };
  rig.pop.Connect();
  rig.pop.Disconnect();
  rig.Finish();
  EXPECT_EQ(rig.log,
            (Log{"connect", "retrieve-start", "retrieve-end", "retrieve-start", "retrieve-end", "disconnect"}));

  const TMailMessage& m = rig.pop.MailMessage();
  EXPECT_EQ(m.Subject, " second");
  EXPECT_EQ(m.Body.Text(), ".\r\n..dots\r\n\r\nFile \"a.bin\" extracted\r\n");
  ASSERT_EQ(m.Attachments.Count(), 1);
  EXPECT_EQ(m.Attachments[0], "a.bin");
  EXPECT_EQ(corvane::ReadFile(rig.pop.AttachFilePath + "a.bin"), "abc");
  EXPECT_EQ(statuses,
            (std::vector<std::string>{"+OK\r\n", "+OK\r\n", "+OK 2 300\r\n", "+OK message 1\r\n", "Extracting file",
                                      "Message Retrieved", "+OK message 2\r\n", "Extracting file", "Extracting file",
                                      "Decoding file", "Message Retrieved", "+OK bye\r\n"}));
}

TEST(Pop3Dialogue, NotConnectedRetrievalFiresNothingAndLeavesTheComponentUsable) {
  Rig rig(std::string(kLogin) +
          "C: STAT\nS: +OK 1 5\nC: RETR 1\nS: +OK\nS: Subject: hi\nS: \nS: body\nS: .\nC: DELE 1\nS: +OK\nE\n");
  rig.pop.DeleteOnRead = true;
  EXPECT_EQ(FailureOf([&] { rig.pop.RetrieveMessage(1); }), "Not Connected");
  EXPECT_TRUE(rig.log.empty());
  EXPECT_FALSE(rig.pop.Busy());
  rig.pop.Connect();
  rig.pop.RetrieveMessage(1);
  EXPECT_EQ(rig.log, (Log{"connect", "retrieve-start", "retrieve-end"}));
  rig.pop.Abort();
  rig.Finish();
  EXPECT_EQ(rig.pop.MailMessage().Body.Text(), "body\r\n");
}

TEST(Pop3Dialogue, RefusedRetrKeepsThePreviousMessage) {
  Rig rig(std::string(kLogin) +
          "C: STAT\nS: +OK 2 5\nC: RETR 1\nS: +OK\nS: Subject: one\nS: \nS: .\n"
          "C: RETR 2\nS: -ERR gone\nE\n");
  rig.pop.Connect();
  rig.pop.RetrieveMessage(1);
  EXPECT_EQ(FailureOf([&] { rig.pop.RetrieveMessage(2); }), "-ERR gone\r\n");
  EXPECT_EQ(rig.pop.MailMessage().Subject, " one");
  EXPECT_EQ(rig.log.back(), "retrieve-end");
  EXPECT_FALSE(rig.pop.Busy());
  rig.pop.Abort();
  rig.Finish();
}

TEST(Pop3Dialogue, AbortWhileWaitingEndsTheRetrieval) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 1 5\nC: RETR 1\nS: +OK here it comes\\r\\nSubject: slow\nW: 3000\n");
  rig.pop.Connect();
  rig.pop.ReportLevel = 1;
  rig.pop.OnStatus = [&](TObject*, const std::string& text) {
    // The reply and the first header line arrive in one send, so the abort lands in the
    // wait for the second line.
    if (text == "+OK here it comes\r\n") QTimer::singleShot(0, [&] { rig.pop.Abort(); });
  };
  try {
    rig.pop.RetrieveMessage(1);
    FAIL() << "no error";
  } catch (const EAbortError& e) {
    EXPECT_EQ(e.Message(), "Socket readln aborted");
  }
  // The server is inside its reply, so the connection closes without QUIT.
  EXPECT_EQ(rig.log, (Log{"connect", "retrieve-start", "disconnect", "retrieve-end"}));
  EXPECT_FALSE(rig.pop.Busy());
  EXPECT_FALSE(rig.pop.Connected);
  EXPECT_TRUE(rig.pop.Canceled);
  EXPECT_EQ(rig.pop.MailMessage().Subject, " slow");
}

// A component on the heap, logged in to server, for tests that destroy it mid-operation.
std::unique_ptr<TZnPOP3> loggedIn(const ScriptedServer& server, const QTemporaryDir& dir) {
  auto pop = std::make_unique<TZnPOP3>();
  pop->Host = "127.0.0.1";
  pop->Port = server.Port();
  pop->UserID = "alice";
  pop->Password = "secret";
  pop->TimeOut = 5000;
  pop->AttachFilePath = dir.path().toStdString() + "/";
  pop->Connect();
  return pop;
}

TEST(Pop3Dialogue, DestroyedDuringARetrievalNothingTouchesTheComponentAfterwards) {
  // The sanitizer build catches any access to the freed component.
  {
    // Destroyed while the reader waits inside an attachment part: every level between the
    // wait and the caller unwinds over an object that is gone.
    ScriptedServer server(std::string(kLogin) +
                          "C: STAT\nS: +OK 1 5\nC: RETR 1\n"
                          "S: +OK\\r\\nContent-Type: multipart/mixed; boundary=b\\r\\n\\r\\n--b\\r\\n\\r\\n"
                          "text\\r\\n--b\\r\\nContent-Transfer-Encoding: base64\\r\\n"
                          "Content-Type: x/y; name=\"p.bin\"\\r\\n\\r\\nYWJj\nW: 3000\n");
    QTemporaryDir dir;
    auto pop = loggedIn(server, dir);
    int ends = 0;
    pop->OnRetrieveEnd = [&](TObject*) { ++ends; };
    pop->ReportLevel = 1;
    pop->OnStatus = [&](TObject*, const std::string& text) {
      if (text == "Extracting file" && pop->MailMessage().Body.Count() == 2) {
        QTimer::singleShot(0, [&] { pop.reset(); });
      }
    };
    TZnPOP3* const raw = pop.get();
    EXPECT_THROW(raw->RetrieveMessage(1), EAbortError);
    EXPECT_EQ(pop, nullptr);
    EXPECT_EQ(ends, 0) << "no events from a destroyed component";
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/p.bin")) << "a half-read part is not left behind";
  }
  ScriptedServer server(std::string(kLogin) + "C: STAT\nS: +OK 1 5\nC: RETR 1\nS: +OK\nS: \nS: hi\nS: .\n");
  QTemporaryDir dir;
  auto pop = loggedIn(server, dir);
  pop->OnRetrieveEnd = [&](TObject*) { pop.reset(); };
  TZnPOP3* const raw = pop.get();
  raw->RetrieveMessage(1);
  EXPECT_EQ(pop, nullptr);
}

TEST(Pop3Dialogue, AbortWhenIdleClosesWithoutQuit) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 0 0\nE\n");
  rig.pop.Connect();
  rig.pop.Abort();
  rig.Finish();
  EXPECT_FALSE(rig.pop.Connected);
  EXPECT_EQ(rig.server.Received(), "USER alice\r\nPASS secret\r\nSTAT\r\n");
}

TEST(Pop3Dialogue, UudecoderNoticeReachesTheOwner) {
  Rig rig(std::string(kLogin) +
          "C: STAT\nS: +OK 1 5\nC: RETR 1\nS: +OK\n"
          "S: Content-Type: multipart/mixed; boundary=\"sep\"\nS: \nS: --sep\nS: \nS: text\nS: --sep\n"
          "S: Content-Transfer-Encoding: X-UUENCODE\nS: Content-Type: text/plain; name=\"u.txt\"\nS: \n"
          "S: #86)C\nS: ```\nS: --sep--\nS: .\nE\n");
  rig.pop.Connect();
  rig.pop.RetrieveMessage(1);
  EXPECT_EQ(rig.log, (Log{"connect", "retrieve-start", "message: No end line.", "retrieve-end"}));
  rig.pop.Abort();
  rig.Finish();
  EXPECT_EQ(corvane::ReadFile(rig.pop.AttachFilePath + "u.txt"), "abc");
}

TEST(Pop3Dialogue, LineBreaksInCredentialsAreRefused) {
  {
    Rig rig("");
    rig.pop.UserID = "alice\r\nDELE 1";
    EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "Line break not allowed in the user ID");
    EXPECT_EQ(rig.server.Connections(), 0);
  }
  Rig rig(
      "S: +OK\n"
      "C: USER alice\n"
      "S: +OK\n"
      "C: PASS secret\n"
      "S: -ERR no\n"
      "C: QUIT\n"
      "S: +OK\n"
      "E\n");
  rig.pop.OnAuthenticationFailed = [&](bool& handled) {
    rig.pop.Password = "x\nDELE 1";
    handled = true;
  };
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "Line break not allowed in the password");
  rig.Finish();
  EXPECT_EQ(rig.server.Received(), "USER alice\r\nPASS secret\r\nQUIT\r\n");
}

TEST(Pop3Dialogue, DisconnectDuringARetrievalCancelsItInsteadOfSendingQuit) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 1 5\nC: RETR 1\nS: +OK\\r\\nSubject: long\nW: 3000\n");
  rig.pop.Connect();
  rig.pop.ReportLevel = 1;
  rig.pop.OnStatus = [&](TObject*, const std::string& text) {
    if (text == "+OK\r\n") QTimer::singleShot(0, [&] { rig.pop.Disconnect(); });
  };
  EXPECT_EQ(FailureOf([&] { rig.pop.RetrieveMessage(1); }), "Socket readln aborted");
  EXPECT_FALSE(rig.pop.Connected);
  EXPECT_EQ(rig.log, (Log{"connect", "retrieve-start", "disconnect", "retrieve-end"}));
  EXPECT_EQ(rig.server.Received(), "USER alice\r\nPASS secret\r\nSTAT\r\nRETR 1\r\n");
}

TEST(Pop3Dialogue, ConnectInsideARunningConnectDoesNothing) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 4 50\n");
  std::string nested = "not run";
  rig.pop.ReportLevel = 1;
  rig.pop.OnStatus = [&](TObject*, const std::string& text) {
    if (text != "+OK\r\n" || nested != "not run") return;
    nested = "running";
    QTimer::singleShot(0, [&] { nested = FailureOf([&] { rig.pop.Connect(); }); });  // lands in the PASS wait
  };
  rig.pop.Connect();
  rig.Finish();
  EXPECT_EQ(nested, "(no failure)");
  EXPECT_EQ(rig.server.Connections(), 1);
  EXPECT_EQ(rig.pop.MessageCount(), 4);
  EXPECT_EQ(rig.log, (Log{"connect"}));
}

TEST(Pop3Dialogue, ServerClosingInsideAMessageEndsTheRetrieval) {
  Rig rig(std::string(kLogin) +
          "C: STAT\nS: +OK 1 5\nC: RETR 1\nS: +OK\nS: Content-Type: multipart/mixed; boundary=\"b\"\nS: \n"
          "S: --b\nS: \nS: text\nS: --b\nS: Content-Type: x/y; name=\"cut.bin\"\nS: \nS: half\nX\n");
  rig.pop.Connect();
  EXPECT_EQ(FailureOf([&] { rig.pop.RetrieveMessage(1); }), "Socket readln aborted");
  rig.Finish();
  EXPECT_EQ(rig.log, (Log{"connect", "retrieve-start", "disconnect", "retrieve-end"}));
  EXPECT_FALSE(rig.pop.Busy());
  EXPECT_FALSE(rig.pop.Connected);
  EXPECT_EQ(rig.pop.MailMessage().Attachments.Count(), 0);
}

}  // namespace

// ---------------------------------------------------------------- secure connections

namespace {

// A component pointed at one scripted TLS server whose certificate the test CA signed.
struct SecureRig {
  SecureRig(const std::string& script, TSecurity security,
            const TestIdentity& identity = TestCertificates::Get().Server)
      : server(script, ScriptedTlsIdentity{identity.CertPem, identity.KeyPem}) {
    pop.Host = "127.0.0.1";
    pop.Port = server.Port();
    pop.UserID = "alice";
    pop.Password = "secret";
    pop.TimeOut = 5000;
    pop.Security = security;
    pop.CAFile = TestCertificates::Get().WriteCaFile(dir.path().toStdString());
    pop.AttachFilePath = dir.path().toStdString() + "/";
    pop.OnConnect = [this](TObject*) { log.push_back("connect"); };
  }
  void Finish() {
    ASSERT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Failures(), "");
  }

  QTemporaryDir dir;
  ScriptedServer server;
  TZnPOP3 pop;
  std::vector<std::string> log;
};

const char* const kSecureSession =
    "C: USER alice\n"
    "S: +OK\n"
    "C: PASS secret\n"
    "S: +OK logged in\n"
    "C: STAT\n"
    "S: +OK 0 0\n"
    "C: QUIT\n"
    "S: +OK bye\n"
    "E\n";

TEST(Pop3Secure, StlsUpgradesBeforeTheLogin) {
  SecureRig rig(std::string("S: +OK ready\nC: STLS\nS: +OK begin TLS\nT\n") + kSecureSession, secStartTLS);
  rig.pop.Connect();
  EXPECT_TRUE(rig.pop.Secure());
  rig.pop.Disconnect();
  rig.Finish();
  EXPECT_EQ(rig.server.Received(), "STLS\r\nUSER alice\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
  EXPECT_EQ(rig.log, (Log{"connect"}));
}

TEST(Pop3Secure, ImplicitTlsFromTheFirstByte) {
  SecureRig rig(std::string("T\nS: +OK ready\n") + kSecureSession, secSSLTLS);
  rig.pop.Connect();
  EXPECT_TRUE(rig.pop.Secure());
  rig.pop.Disconnect();
  rig.Finish();
  EXPECT_EQ(rig.server.Received(), "USER alice\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
}

TEST(Pop3Secure, NoCredentialsWithoutTheUpgrade) {
  {
    SCOPED_TRACE("STLS refused");
    SecureRig rig("S: +OK ready\nC: STLS\nS: -ERR not here\nC: QUIT\nS: +OK\nE\n", secStartTLS);
    EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }),
              "127.0.0.1 does not offer a secure connection (STLS): -ERR not here");
    rig.Finish();
    EXPECT_EQ(rig.server.Received(), "STLS\r\nQUIT\r\n");
    EXPECT_TRUE(rig.log.empty());
  }
  {
    SCOPED_TRACE("certificate refused after STLS: not even a QUIT follows");
    SecureRig rig("S: +OK ready\nC: STLS\nS: +OK\nT: refused\nE\n", secStartTLS, TestCertificates::Get().OtherName);
    const std::string failure = FailureOf([&] { rig.pop.Connect(); });
    EXPECT_EQ(failure.rfind("Certificate of 127.0.0.1 refused: it was not issued for the address 127.0.0.1", 0), 0u)
        << failure;
    EXPECT_FALSE(rig.pop.Connected);
    rig.Finish();
    EXPECT_EQ(rig.server.Received(), "STLS\r\n");
  }
  {
    SCOPED_TRACE("certificate refused in SSL/TLS mode");
    SecureRig rig("T: refused\nE\n", secSSLTLS, TestCertificates::Get().SelfSigned);
    EXPECT_NE(FailureOf([&] { rig.pop.Connect(); }).find("self-signed"), std::string::npos);
    rig.Finish();
    EXPECT_EQ(rig.server.Received(), "");
  }
}

TEST(Pop3Secure, PlaintextSentAlongWithTheStlsReplyIsDropped) {
  // A reply smuggled in before the handshake must not pass for the greeting of the secure
  // session: it is either dropped or breaks the handshake, never read as a reply.
  SecureRig rig(std::string("S: +OK ready\nC: STLS\nS: +OK begin TLS\\r\\n-ERR injected\nT\n") + kSecureSession,
                secStartTLS);
  const std::string failure = FailureOf([&] { rig.pop.Connect(); });
  if (failure == "(no failure)") {
    rig.pop.Disconnect();
    rig.Finish();
    EXPECT_EQ(rig.server.Received(), "STLS\r\nUSER alice\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
  } else {
    EXPECT_EQ(failure.rfind("Secure connection to 127.0.0.1 failed", 0), 0u) << failure;
    EXPECT_EQ(rig.server.Received().find("USER"), std::string::npos);
  }
}

// AUTH (RFC 5034) with the mechanism CAPA offers: over the upgraded connection the
// strongest one, the initial response only where the command stays within 255 octets.
TEST(Pop3Secure, SaslLoginTakesTheStrongestOfferedMechanism) {
  const std::string token(300, 'T');
  const std::string bearer = mime::EncodeBase64(
      "user=alice\x01"
      "auth=Bearer " +
      token + "\x01\x01");
  struct Case {
    const char* name;
    std::string capa;
    bool bearer, plainAllowed;
    TSecurity security;
    std::string login;  // the dialogue between CAPA and STAT
  };
  const std::string upgrade = "S: +OK ready\nC: STLS\nS: +OK\nT\n";
  const std::string plain = mime::EncodeBase64(std::string("\0alice\0secret", 13));
  const Case cases[] = {
      {"CRAM-MD5 first", "SASL PLAIN CRAM-MD5 LOGIN", false, false, secStartTLS,
       "C: AUTH CRAM-MD5\nS: + PDE+\nC: " +
           mime::EncodeBase64(corvane::sasl::CramMd5Response("alice", "secret", "<1>")) + "\nS: +OK\n"},
      {"PLAIN without CRAM-MD5", "SASL PLAIN", false, false, secStartTLS, "C: AUTH PLAIN " + plain + "\nS: +OK\n"},
      {"no SASL: USER/PASS", "USER", false, false, secStartTLS, "C: USER alice\nS: +OK\nC: PASS secret\nS: +OK\n"},
      {"PLAIN in clear when allowed", "SASL PLAIN", false, true, secNone, "C: AUTH PLAIN " + plain + "\nS: +OK\n"},
      // RFC 6856: UTF8 where it is registered, before the login; a refusal changes nothing.
      {"UTF8 listed", "SASL PLAIN\nS: UTF8 USER", false, false, secStartTLS,
       "C: UTF8\nS: +OK\nC: AUTH PLAIN " + plain + "\nS: +OK\n"},
      {"UTF8 refused", "utf8\nS: USER", false, false, secStartTLS,
       "C: UTF8\nS: -ERR\nC: USER alice\nS: +OK\nC: PASS secret\nS: +OK\n"},
      {"a long token waits for the challenge", "SASL XOAUTH2", true, false, secStartTLS,
       "C: AUTH XOAUTH2\nS: +\nC: " + bearer + "\nS: +OK\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string greeting = c.security == secStartTLS ? upgrade : "S: +OK ready\n";
    SecureRig rig(
        greeting + "C: CAPA\nS: +OK\nS: " + c.capa + "\nS: .\n" + c.login + "C: STAT\nS: +OK 0 0\nC: QUIT\nS: +OK\nE\n",
        c.security);
    rig.pop.SaslLogin = true;
    rig.pop.BearerToken = c.bearer;
    rig.pop.AllowPlainLogin = c.plainAllowed;
    if (c.bearer) rig.pop.Password = token;
    rig.pop.Connect();
    EXPECT_EQ(rig.pop.Utf8Mode(), c.login.starts_with("C: UTF8\nS: +OK"));
    rig.pop.Disconnect();
    rig.Finish();
    EXPECT_EQ(rig.log, (Log{"connect"}));
  }
}

TEST(Pop3Secure, SaslLoginWithholdsAReadablePasswordFromAPlainConnection) {
  SecureRig rig("S: +OK ready\nC: CAPA\nS: +OK\nS: USER\nS: SASL PLAIN LOGIN\nS: .\nC: QUIT\nS: +OK\nE\n", secNone);
  rig.pop.SaslLogin = true;
  const std::string failure = FailureOf([&] { rig.pop.Connect(); });
  EXPECT_EQ(failure.rfind("Cannot log in as alice at 127.0.0.1: without an encrypted connection", 0), 0u) << failure;
  rig.Finish();
  EXPECT_EQ(rig.server.Received(), "CAPA\r\nQUIT\r\n");

  // A refused token says so, for the owner to fetch a fresh one.
  SecureRig refusing("T\nS: +OK ready\nC: CAPA\nS: +OK\nS: SASL XOAUTH2\nS: .\nC: AUTH XOAUTH2 " +
                         mime::EncodeBase64("user=alice\x01"
                                            "auth=Bearer tok\x01\x01") +
                         "\nS: + e30=\nC: \nS: -ERR [AUTH] no\nC: QUIT\nS: +OK\nE\n",
                     secSSLTLS);
  refusing.pop.SaslLogin = refusing.pop.BearerToken = true;
  refusing.pop.Password = "tok";
  try {
    refusing.pop.Connect();
    ADD_FAILURE() << "accepted";
  } catch (const corvane::sasl::ELoginRefused& refused) {
    EXPECT_TRUE(refused.Bearer);
    EXPECT_EQ(refused.Message(), "Login as alice at 127.0.0.1 refused: -ERR [AUTH] no");
  }
  refusing.Finish();
}

}  // namespace

TEST(Pop3Dialogue, UniqueIdsAreReadInOrderAndAnyListThatDoesNotFitCountsAsNone) {
  struct Case {
    const char* reply;
    bool ok;
    std::vector<std::string> ids;
  };
  const Case cases[] = {
      {"+OK\nS: 1 a-1\nS: 2 ..dotted\nS: .\n", true, {"a-1", "..dotted"}},
      {"-ERR no such command\n", false, {}},
      {"+OK\nS: 2 b\nS: 1 a\nS: .\n", false, {}},  // out of order
      {"+OK\nS: 1\nS: 2 b\nS: .\n", false, {}},    // no id
      {"+OK\nS: .\n", true, {}},
  };
  for (const Case& c : cases) {
    Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 2 40\nC: UIDL\nS: " + c.reply + "C: RETR 1\nS: -ERR gone\n" +
            "C: QUIT\nS: +OK bye\nE\n");
    rig.pop.Connect();
    std::vector<std::string> ids{"stale"};
    EXPECT_EQ(rig.pop.RetrieveUniqueIds(ids), c.ok) << c.reply;
    EXPECT_EQ(ids, c.ids) << c.reply;
    // The dialogue is still in step: the next command meets its own reply.
    EXPECT_EQ(FailureOf([&] { rig.pop.RetrieveMessage(1); }), "-ERR gone\r\n");
    rig.pop.Disconnect();
    rig.Finish();
  }
}

TEST(Pop3Dialogue, SizesAreReadInOrderAndAHeaderComesAloneByTop) {
  struct Case {
    const char* reply;
    bool ok;
    std::vector<int64_t> sizes;
  };
  const Case cases[] = {
      {"+OK 2 messages\nS: 1 120\nS: 2 4096 extra\nS: .\n", true, {120, 4096}},
      {"-ERR no such command\n", false, {}},
      {"+OK\nS: 2 10\nS: 1 10\nS: .\n", false, {}},  // out of order
      {"+OK\nS: 1\nS: 2 x\nS: .\n", false, {}},      // no size
  };
  for (const Case& c : cases) {
    Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 2 40\nC: LIST\nS: " + c.reply +
            "C: TOP 1 0\nS: +OK\nS: Subject: Only this\nS: \nS: .\nC: QUIT\nS: +OK bye\nE\n");
    rig.pop.Connect();
    std::vector<int64_t> sizes{7};
    EXPECT_EQ(rig.pop.RetrieveSizes(sizes), c.ok) << c.reply;
    EXPECT_EQ(sizes, c.sizes) << c.reply;
    rig.pop.RetrieveHeader(1);
    EXPECT_EQ(rig.pop.MailMessage().Subject, " Only this");
    EXPECT_EQ(rig.pop.MailMessage().Body.Count(), 0);
    rig.pop.Disconnect();
    rig.Finish();
  }
}

TEST(Pop3Dialogue, PlannedRetrievalsGoOutAheadAndARefusalAmongThemLeavesTheDialogueInStep) {
  Rig rig(std::string(kLogin) +
          "C: STAT\nS: +OK 3 90\n"
          "C: RETR 1\nS: +OK\nS: Subject: one\nS: \nS: first\nS: .\n"
          "C: RETR 2\nS: -ERR no such message\n"
          "C: RETR 3\nS: +OK\nS: Subject: three\nS: \nS: ..third\nS: .\n"
          "C: DELE 1\nS: +OK\nC: DELE 2\nS: -ERR locked\nC: DELE 3\nS: +OK\n"
          "C: QUIT\nS: +OK bye\nE\n");
  rig.pop.Connect();
  rig.pop.PlanRetrievals({1, 2, 3}, 2);
  rig.pop.RetrieveMessage(1);
  EXPECT_EQ(rig.pop.MailMessage().Subject, " one");
  EXPECT_EQ(FailureOf([&] { rig.pop.RetrieveMessage(2); }), "-ERR no such message\r\n");
  rig.log.clear();
  // The reply to the RETR 3 sent ahead was read and dropped; the DELEs go out together and
  // every reply is judged, in order.
  EXPECT_EQ(FailureOf([&] { rig.pop.DeleteMessages({1, 2, 3}); }), "-ERR locked\r\n");
  EXPECT_EQ(rig.log, (Log{"success", "failure"}));
  rig.pop.Disconnect();
  rig.Finish();
  EXPECT_EQ(
      rig.server.Received(),
      "USER alice\r\nPASS secret\r\nSTAT\r\nRETR 1\r\nRETR 2\r\nRETR 3\r\nDELE 1\r\nDELE 2\r\nDELE 3\r\nQUIT\r\n");
}

TEST(Pop3Dialogue, WithoutAheadTheDeletionsStayLockStepAndStopAtTheFirstRefusal) {
  Rig rig(std::string(kLogin) + "C: STAT\nS: +OK 2 40\nC: DELE 1\nS: -ERR locked\nC: QUIT\nS: +OK bye\nE\n");
  rig.pop.Connect();
  rig.pop.PlanRetrievals({1, 2}, 0);
  EXPECT_EQ(FailureOf([&] { rig.pop.DeleteMessages({1, 2}); }), "-ERR locked\r\n");
  rig.pop.Disconnect();
  rig.Finish();
  EXPECT_EQ(rig.server.Received(), "USER alice\r\nPASS secret\r\nSTAT\r\nDELE 1\r\nQUIT\r\n");
}

namespace {

TEST(Pop3Bounds, ASilentServerCostsOneTimeOutAndNoQuitIsAwaited) {
  // No greeting: the session ends after TimeOut, closed without a QUIT that would wait a
  // second TimeOut, and the error says it timed out.
  Rig rig("W: 3000\nE\n");
  rig.pop.TimeOut = 1000;
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(FailureOf([&] { rig.pop.Connect(); }), "Timed out: no progress with 127.0.0.1 for 1 second");
  EXPECT_LT(clock.elapsed(), 1900);  // not two time-outs
  EXPECT_FALSE(rig.pop.Connected);
  rig.Finish();
  EXPECT_EQ(rig.server.Received(), "");
}

}  // namespace
