// SMTP dialogues of TZnSMTP against the scripted loopback server.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "Base64.h"
#include "Exceptions.h"
#include "FailureOf.h"
#include "SaslMechanism.h"
#include "ScriptedServer.h"
#include "TestCertificates.h"
#include "Znsmtp.h"

using corvane::smtp::ExtractAddress;

namespace {

const std::string kOpen =
    "S: 220 mail.test ESMTP\n"
    "C: HELO corvane\n"
    "S: 250 mail.test\n";
const std::string kOpened = "HELO corvane\r\n";
const std::string kPlainType = "Content-Type: text/plain;                        charset=us-ascii\r\n";
// Fixed on the record so that the text on the wire is known to the byte.
const std::string kDate = "Mon, 7 Dec 2026 14:05:09 +0000";
const std::string kMessageId = "<1@example.org>";
const std::string kDateAndId = "Date: " + kDate + "\r\nMessage-ID: " + kMessageId + "\r\n";

class SmtpSession : public ::testing::Test {
 protected:
  void start(const std::string& script) {
    server = std::make_unique<ScriptedServer>(script);
    smtp.Host = "127.0.0.1";
    smtp.Port = server->Port();
    smtp.UserID = "corvane";
    smtp.TimeOut = 5000;
    smtp.PostMessage.Date = kDate;
    smtp.PostMessage.MessageID = kMessageId;
    smtp.OnConnect = [this](TObject*) { log.push_back("connect"); };
    smtp.OnDisconnect = [this](TObject*) { log.push_back("disconnect"); };
    smtp.OnSendStart = [this](TObject*) { log.push_back("start"); };
    smtp.OnRecipientNotFound = [this](const std::string& r) { log.push_back("not found " + r); };
    smtp.OnSuccess = [this](TObject*) { log.push_back("success"); };
    smtp.OnFailure = [this](TObject*) { log.push_back("failure"); };
  }

  void finish() {
    ASSERT_TRUE(server->WaitFinished());
    EXPECT_EQ(server->Failures(), "");
  }

  void simpleMessage() {
    smtp.PostMessage.FromAddress = "ann@example.org";
    smtp.PostMessage.ToAddress.Add("bob@example.org");
    smtp.PostMessage.Body.Add("Hi");
  }

  TZnSMTP smtp;
  std::unique_ptr<ScriptedServer> server;
  std::vector<std::string> log;
};

const std::string kSimpleText = "From: <ann@example.org>\r\nTo: bob@example.org\r\n" + kDateAndId +
                                "Mime-Version: 1.0\r\n" + kPlainType + "\r\n\r\nHi\r\n";

// The server's side of sending simpleMessage(), up to the client's "." after a message
// text of textSize bytes; the reply to "." is left to the test.
std::string envelope(size_t textSize = kSimpleText.size()) {
  return "C: RSET\nS: 250 ok\n"
         "C: MAIL FROM:<ann@example.org>\nS: 250 ok\n"
         "C: RCPT TO:<bob@example.org>\nS: 250 ok\n"
         "C: DATA\nS: 354 go\n"
         "B: " +
         std::to_string(textSize) + "\nC: .\n";
}

TEST_F(SmtpSession, MultiLineGreetingAndHeloAreReadWholeAndQuitClosesCleanly) {
  start(
      "S: 220-mail.test first line\n"
      "S: 220 second line\n"
      "C: HELO corvane\n"
      "S: 250-mail.test\n"
      "S: 250 SIZE 1000\n"
      "C: QUIT\n"
      "S: 221 bye\n"
      "E\n");
  smtp.Connect();
  EXPECT_TRUE(smtp.Connected);
  EXPECT_FALSE(smtp.Busy());
  smtp.Disconnect();
  EXPECT_FALSE(smtp.Connected);
  smtp.Disconnect();  // not connected: nothing at all
  finish();
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_EQ(server->Received(), kOpened + "QUIT\r\n");
}

TEST_F(SmtpSession, HeloRefusedWithoutHandlerQuitsAndFails) {
  start(kOpen.substr(0, kOpen.find("S: 250")) +
        "S: 501 bad name\n"
        "C: QUIT\n"
        "S: 221 bye\n"
        "E\n");
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "Authentication failed");
  finish();
  EXPECT_FALSE(smtp.Connected);
  EXPECT_FALSE(smtp.Busy());
  EXPECT_EQ(log, (std::vector<std::string>{"disconnect"}));
}

TEST_F(SmtpSession, HeloRefusedTwiceAsksTheHandlerOnce) {
  start(
      "S: 220 mail.test\n"
      "C: HELO corvane\n"
      "S: 550 who are you\n"
      "C: HELO other.name\n"
      "S: 550 still no\n"
      "C: QUIT\n"
      "S: 221 bye\n"
      "E\n");
  int asked = 0;
  smtp.OnAuthenticationFailed = [&](bool& handled) {
    ++asked;
    smtp.UserID = "other.name";
    handled = true;
  };
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "Authentication failed");
  finish();
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(smtp.Connected);
}

TEST_F(SmtpSession, HeloAcceptedAfterTheHandlerFixedIt) {
  start(
      "S: 220 mail.test\n"
      "C: HELO corvane\n"
      "S: 550 who are you\n"
      "C: HELO other.name\n"
      "S: 250 welcome\n"
      "E\n");
  smtp.OnAuthenticationFailed = [&](bool& handled) {
    smtp.UserID = "other.name";
    handled = true;
  };
  smtp.Connect();
  // The server waits for our close, so no close of its own can reach the log first.
  EXPECT_EQ(log, (std::vector<std::string>{"connect"}));
  smtp.Abort();
  finish();
}

TEST_F(SmtpSession, UserIDWithALineBreakNeverReachesTheWire) {
  start("S: 220 mail.test\nC: HELO corvane\nS: 550 who are you\nC: QUIT\nS: 221 bye\nE\n");
  smtp.OnAuthenticationFailed = [&](bool& handled) {
    smtp.UserID = "x\r\nMAIL FROM:<spam@example.org>";
    handled = true;
  };
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "Line break not allowed in the user ID");
  finish();
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "Line break not allowed in the user ID");
  EXPECT_EQ(server->Connections(), 1);
}

TEST_F(SmtpSession, RefusedGreetingFailsWithItsLineOrWithTheRefusedQuit) {
  start(
      "S: 421 too busy\n"
      "C: QUIT\n"
      "S: 221 bye\n"
      "E\n");
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "421 too busy\r\n");
  finish();

  start(
      "S: 554 go away\n"
      "C: QUIT\n"
      "S: 500 what\n"
      "E\n");
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "500 what\r\n");
  finish();
  EXPECT_FALSE(smtp.Connected);
}

TEST_F(SmtpSession, QuitRefusedFailsWithTheReplyAndClosesAnyway) {
  start(kOpen +
        "C: QUIT\n"
        "S: 500 unknown command\n"
        "E\n");
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.Disconnect(); }), "500 unknown command\r\n");
  finish();
  EXPECT_FALSE(smtp.Connected);
}

TEST_F(SmtpSession, DisconnectOrSendWhileQuitAwaitsItsReplyAddsNothing) {
  start(kOpen + "C: QUIT\nW: 300\nS: 221 bye\nE\n");
  simpleMessage();
  smtp.Connect();
  std::string nested = "not called";
  QTimer::singleShot(100, [&] {
    smtp.SendMail();
    nested = FailureOf([&] { smtp.Disconnect(); });
  });
  smtp.Disconnect();
  finish();
  EXPECT_EQ(nested, "(no failure)");
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(server->Received(), kOpened + "QUIT\r\n");
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "disconnect"}));
}

TEST_F(SmtpSession, AbortWhenIdleClosesWithoutQuit) {
  start(kOpen + "E\n");
  smtp.Connect();
  smtp.Abort();
  finish();
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(server->Received(), kOpened);
}

TEST_F(SmtpSession, SendsEnvelopeInListOrderAndGoesOnPastARefusedRecipient) {
  const std::string text =
      "From: Ann<ann@example.org>\r\n"
      "To: Bob Brown <bob@example.org>,,carol@example.org\r\n"
      "CC: Dave Jones <dave@example.org>\r\n"
      "Subject: Hi\r\n" +
      kDateAndId + "Mime-Version: 1.0\r\n" + kPlainType + "\r\n\r\nHello\r\n..\r\n";
  start(kOpen +
        "C: RSET\n"
        "S: 250 ok\n"
        "C: MAIL FROM:<ann@example.org>\n"
        "S: 250 ok\n"
        "C: RCPT TO:<bob@example.org>\n"
        "S: 250 ok\n"
        "C: RCPT TO:<carol@example.org>\n"
        "S: 251 will forward\n"
        "C: RCPT TO:<dave@example.org>\n"
        "S: 550 no such user\n"
        "C: RCPT TO:< eve@example.org>\n"
        "S: 250 ok\n"
        "C: DATA\n"
        "S: 354 go ahead\n"
        "B: " +
        std::to_string(text.size()) +
        "\n"
        "C: .\n"
        "S: 250 queued\n"
        "E\n");
  TPostMessage& m = smtp.PostMessage;
  m.FromName = "Ann";
  m.FromAddress = "ann@example.org";
  m.Subject = "Hi";
  m.ToAddress.Add("Bob Brown <bob@example.org>");
  m.ToAddress.Add("");
  m.ToAddress.Add("carol@example.org");
  m.ToCarbonCopy.Add("Dave Jones <dave@example.org>");
  m.ToBlindCarbonCopy.Add("bcc: eve@example.org");
  m.Body.Add("Hello");
  m.Body.Add(".");
  smtp.Connect();
  smtp.SendMail();
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "start", "not found Dave Jones <dave@example.org>", "success"}));
  EXPECT_FALSE(smtp.Busy());
  smtp.Abort();
  finish();
  EXPECT_EQ(server->Received(), kOpened +
                                    "RSET\r\nMAIL FROM:<ann@example.org>\r\nRCPT TO:<bob@example.org>\r\n"
                                    "RCPT TO:<carol@example.org>\r\nRCPT TO:<dave@example.org>\r\n"
                                    "RCPT TO:< eve@example.org>\r\nDATA\r\n" +
                                    text + ".\r\n");
  // ClearParams empties the lists, not the rest of the record.
  EXPECT_EQ(m.ToAddress.Count() + m.ToCarbonCopy.Count() + m.ToBlindCarbonCopy.Count() + m.Attachments.Count(), 0);
  EXPECT_EQ(m.Subject, "Hi");
  EXPECT_EQ(m.Body.Count(), 2);
}

TEST_F(SmtpSession, HeaderLongerThanOneWriteGoesOutWhole) {
  std::string script = kOpen + "C: RSET\nS: 250 ok\nC: MAIL FROM:<ann@example.org>\nS: 250 ok\n";
  for (int i = 0; i < 900; ++i) {
    const std::string address = "recipient-" + std::to_string(1000 + i) + "@example.org";
    smtp.PostMessage.ToAddress.Add(address);
    script += "C: RCPT TO:<" + address + ">\nS: 250 ok\n";
  }
  smtp.PostMessage.FromAddress = "ann@example.org";
  smtp.PostMessage.Body.Add("Hi");
  smtp.PostMessage.Date = kDate;
  smtp.PostMessage.MessageID = kMessageId;
  TExStringList header;
  std::string boundary;
  TMemoryStream body;
  corvane::smtp::ComposeMessage(smtp.PostMessage, uuMime, 0, {}, header, boundary, body);
  const std::string text = corvane::smtp::HeaderText(header) + body.Data();
  ASSERT_GT(text.size(), 20000u);
  script += "C: DATA\nS: 354 go\nB: " + std::to_string(text.size()) + "\nC: .\nS: 250 ok\n";
  start(script);
  smtp.ClearParams = false;
  smtp.Connect();
  smtp.SendMail();
  finish();
  EXPECT_TRUE(server->Received().ends_with("DATA\r\n" + text + ".\r\n"));
  EXPECT_EQ(smtp.PostMessage.ToAddress.Count(), 900);
}

TEST_F(SmtpSession, ProgressCountsTheWholeBodyAcrossPieces) {
  simpleMessage();
  smtp.PostMessage.Body.Clear();
  for (int i = 0; i < 3000; ++i) smtp.PostMessage.Body.Add(std::string(98, static_cast<char>('a' + i % 26)));
  const int64_t bodySize = 3000 * 100;
  const int64_t headerSize = static_cast<int64_t>(kSimpleText.size()) - 4;  // without "Hi\r\n"
  start(kOpen + envelope(headerSize + bodySize) + "S: 250 ok\n");
  std::vector<std::pair<int32_t, int32_t>> progress;
  smtp.OnPacketSent = [&](TObject*) { progress.emplace_back(smtp.BytesSent, smtp.BytesTotal); };
  smtp.Connect();
  smtp.SendMail();
  finish();
  ASSERT_GE(progress.size(), 5u);
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_GT(progress[i].first, progress[i - 1].first);
  EXPECT_EQ(progress.back(), std::make_pair(static_cast<int32_t>(bodySize), static_cast<int32_t>(bodySize)));
  EXPECT_FALSE(smtp.Transferring);
}

TEST_F(SmtpSession, MissingSenderWithoutHandlerSendsNothingButHasBuiltTheHeader) {
  start(kOpen + "C: QUIT\nS: 221 bye\nE\n");
  smtp.PostMessage.ToAddress.Add("bob@example.org");
  smtp.PostMessage.Subject = "Hi";
  smtp.FinalHeader.Add("X-Old: line");
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Incomplete Header");
  EXPECT_FALSE(smtp.Busy());
  EXPECT_EQ(smtp.FinalHeader[0], "From: <>");
  EXPECT_EQ(smtp.FinalHeader.IndexOfHeader("Subject"), 2);
  EXPECT_EQ(smtp.FinalHeader.IndexOfHeader("X-Old"), -1);
  smtp.Disconnect();
  finish();
  EXPECT_EQ(server->Received(), kOpened + "QUIT\r\n");
}

TEST_F(SmtpSession, IncompleteHeaderHandlerIsAskedOnceWithTheMissingPart) {
  start(kOpen +
        "C: RSET\nS: 250 ok\n"
        "C: MAIL FROM:<ann@example.org>\nS: 250 ok\n"
        "C: RCPT TO:<late@example.org>\nS: 250 ok\n"
        "C: DATA\nS: 354 go\n"
        "B: " +
        std::to_string(
            ("From: <ann@example.org>\r\n" + kDateAndId + "Mime-Version: 1.0\r\n" + kPlainType + "\r\n\r\n").size()) +
        "\nC: .\nS: 250 ok\nE\n");
  std::vector<int> types;
  smtp.OnHeaderIncomplete = [&](bool& handled, int hiType) {
    types.push_back(hiType);
    if (hiType == 2) {
      smtp.PostMessage.ToBlindCarbonCopy.Add("late@example.org");
      handled = true;
    }
  };
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Incomplete Header");  // no sender, not handled
  smtp.PostMessage.FromAddress = "ann@example.org";
  smtp.SendMail();  // the recipient added by the handler is not in the text built before
  EXPECT_EQ(types, (std::vector<int>{1, 2}));
  EXPECT_EQ(log.back(), "success");
  smtp.Abort();
  finish();
}

TEST_F(SmtpSession, LineBreakSmuggledInByAHandlerEndsTheSendBeforeAnyCommand) {
  start(kOpen + "C: QUIT\nS: 221 bye\nE\n");
  smtp.PostMessage.FromAddress = "ann@example.org";
  smtp.OnHeaderIncomplete = [&](bool& handled, int) {
    smtp.PostMessage.ToAddress.Add("bob@example.org>\r\nRCPT TO:<spam@example.org");
    handled = true;
  };
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Line break not allowed in recipient \"bob@example.org>\"");
  smtp.Disconnect();
  finish();
  EXPECT_EQ(server->Received(), kOpened + "QUIT\r\n");
}

TEST_F(SmtpSession, MissingAttachmentEndsTheSendBeforeAnyCommand) {
  start(kOpen + "C: QUIT\nS: 221 bye\nE\n");
  simpleMessage();
  const std::string path = std::string(CORVANE_TEST_DATA) + "/smtp/attachments/no-such-file.bin";
  smtp.PostMessage.Attachments.Add(path);
  std::vector<std::string> missing;
  smtp.OnAttachmentNotFound = [&](const std::string& p) { missing.push_back(p); };
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Cannot open file " + path);
  smtp.Disconnect();
  finish();
  EXPECT_EQ(missing, std::vector<std::string>{path});
  EXPECT_EQ(smtp.PostMessage.Attachments.Count(), 1);
  EXPECT_EQ(server->Received(), kOpened + "QUIT\r\n");
}

TEST_F(SmtpSession, RefusalsEndTheSendWithTheReplyAndKeepTheLists) {
  start(kOpen +
        "C: RSET\nS: 250 ok\n"
        "C: MAIL FROM:<ann@example.org>\nS: 553 sender rejected\n" +
        envelope() + "S: 554 content rejected\nE\n");
  simpleMessage();
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "553 sender rejected\r\n");
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "554 content rejected\r\n");
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "start", "start", "failure"}));
  EXPECT_EQ(smtp.PostMessage.ToAddress.Count(), 1);
  EXPECT_FALSE(smtp.Busy());
  EXPECT_TRUE(smtp.Connected);
  smtp.Abort();
  finish();
}

TEST_F(SmtpSession, NotConnectedAsksOnceAndAHandlerMayConnectWhileTheSendIsBusy) {
  start(kOpen + envelope() + "S: 250 ok\nE\n");
  simpleMessage();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Not Connected");
  smtp.OnConnectionRequired = [&](bool& handled) {
    handled = true;
    EXPECT_TRUE(smtp.Busy());
    smtp.Connect();
    EXPECT_TRUE(smtp.Busy());
  };
  smtp.SendMail();
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "start", "success"}));
  EXPECT_FALSE(smtp.Busy());
  smtp.Abort();
  finish();
}

TEST_F(SmtpSession, SendMailWhileBusyReturnsAtOnce) {
  start(kOpen + envelope() + "S: 250 ok\nE\n");
  simpleMessage();
  smtp.OnSendStart = [&](TObject*) {
    log.push_back("start");
    smtp.SendMail();
  };
  smtp.Connect();
  smtp.SendMail();
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "start", "success"}));
  smtp.Abort();
  finish();
}

TEST_F(SmtpSession, AbortDuringASendClosesTheSessionAndTheNextSendStartsAfresh) {
  start(kOpen + envelope() + "E\nA\n" + kOpen + envelope() + "S: 250 ok\nE\n");
  simpleMessage();
  smtp.TimeOut = 0;
  smtp.ClearParams = false;
  smtp.Connect();
  QTimer::singleShot(100, [&] { smtp.Abort(); });
  try {
    smtp.SendMail();
    ADD_FAILURE() << "the send was not aborted";
  } catch (const EAbortError& e) {
    EXPECT_EQ(e.Message(), "Socket readln aborted");
  }
  EXPECT_FALSE(smtp.Busy());
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(smtp.PostMessage.ToAddress.Count(), 1);

  smtp.OnConnectionRequired = [&](bool& handled) {
    handled = true;
    smtp.Connect();
  };
  smtp.SendMail();
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "start", "disconnect", "connect", "start", "success"}));
  smtp.Abort();
  finish();
}

TEST_F(SmtpSession, WhatAClosedSessionLeftUnreadDoesNotPassForTheNextGreeting) {
  start(kOpen + "S: 421 shutting down\nX\nA\n" + kOpen + "E\n");
  smtp.Connect();
  QDeadlineTimer deadline(5000);
  while (smtp.Connected && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  ASSERT_FALSE(smtp.Connected);
  smtp.Connect();
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "disconnect", "connect"}));
  smtp.Abort();
  finish();
}

TEST_F(SmtpSession, DisconnectDuringASendCancelsItInsteadOfQuittingInsideIt) {
  start(kOpen + envelope() + "E\n");
  simpleMessage();
  smtp.TimeOut = 0;
  smtp.Connect();
  QTimer::singleShot(100, [&] { smtp.Disconnect(); });
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Socket readln aborted");
  finish();
  EXPECT_FALSE(smtp.Connected);
  EXPECT_TRUE(server->Received().ends_with(kSimpleText + ".\r\n"));
}

TEST_F(SmtpSession, DisconnectWhileTheGreetingIsAwaitedClosesWithoutQuit) {
  start("E\n");
  smtp.TimeOut = 3000;  // bounds a wait on a QUIT reply that never comes
  QTimer::singleShot(100, [&] { smtp.Disconnect(); });
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "Socket readln aborted");
  finish();
  EXPECT_FALSE(smtp.Connected);
  EXPECT_FALSE(smtp.Busy());
  EXPECT_EQ(server->Received(), "");
  EXPECT_EQ(log, std::vector<std::string>{"disconnect"});
}

TEST_F(SmtpSession, ConnectWhileConnectWaitsReturnsAtOnce) {
  start("W: 300\n" + kOpen + "E\n");
  std::string nested = "not called";
  QTimer::singleShot(50, [&] { nested = FailureOf([&] { smtp.Connect(); }); });
  smtp.Connect();
  EXPECT_EQ(nested, "(no failure)");
  EXPECT_EQ(log, std::vector<std::string>{"connect"});
  smtp.Abort();
  finish();
  EXPECT_EQ(server->Connections(), 1);
}

TEST(SmtpLifetime, ComponentDestroyedInsideASendWaitIsNotTouchedAgain) {
  ScriptedServer server(kOpen +
                        "C: RSET\nS: 250 ok\n"
                        "C: MAIL FROM:<ann@example.org>\nS: 250 ok\n"
                        "C: RCPT TO:<bob@example.org>\nW: 1000\n");
  auto smtp = std::make_unique<TZnSMTP>();
  smtp->Host = "127.0.0.1";
  smtp->Port = server.Port();
  smtp->UserID = "corvane";
  smtp->PostMessage.FromAddress = "ann@example.org";
  smtp->PostMessage.ToAddress.Add("bob@example.org");
  bool disconnected = false;
  smtp->OnDisconnect = [&](TObject*) { disconnected = true; };
  smtp->Connect();
  TZnSMTP* raw = smtp.get();
  QTimer::singleShot(100, [&] { smtp.reset(); });
  EXPECT_THROW(raw->SendMail(), Exception);
  EXPECT_FALSE(smtp);
  EXPECT_FALSE(disconnected);
  EXPECT_TRUE(server.WaitFinished());
}

TEST(SmtpAddress, ExtractsTheBareAddressForRcptTo) {
  EXPECT_EQ(ExtractAddress("Bob Brown <bob@example.org>"), "bob@example.org");
  EXPECT_EQ(ExtractAddress("to:bob@example.org"), "bob@example.org");
  EXPECT_EQ(ExtractAddress("to: bob@example.org"), " bob@example.org");
  EXPECT_EQ(ExtractAddress("a:b@c:d"), "b@c");
  EXPECT_EQ(ExtractAddress("x <a@b <c@d>"), "a@b ");
  EXPECT_EQ(ExtractAddress("<a@b"), "a@b");
  EXPECT_EQ(ExtractAddress("Nobody <>"), "");
  EXPECT_EQ(ExtractAddress("plain@example.org"), "plain@example.org");
}

}  // namespace

// ---------------------------------------------------------------- STARTTLS and AUTH

namespace {

using corvane::sasl::CramMd5Response;

// The login's base64, as the component codes it.
std::string Base64Encode(std::string_view bytes) {
  return mime::EncodeBase64(bytes);
}
std::string Base64Decode(std::string_view text) {
  return mime::DecodeBase64(text, mime::Base64Pad::Skipped);
}

TEST(SmtpAuthCoding, CramMd5AndBase64MatchTheirReferenceValues) {
  // RFC 2195's example exchange.
  EXPECT_EQ(CramMd5Response("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
            "tim b913a602c7eda7a495b4e6e7334d3890");
  EXPECT_EQ(Base64Encode("tim b913a602c7eda7a495b4e6e7334d3890"), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
  EXPECT_EQ(Base64Decode("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"),
            "<1896.697170952@postoffice.reston.mci.net>");
  EXPECT_EQ(Base64Encode(std::string("\0bob\0pw", 7)), "AGJvYgBwdw==");
  EXPECT_EQ(Base64Decode("AGJvYgBwdw=="), std::string("\0bob\0pw", 7));
  EXPECT_EQ(Base64Encode(""), "");
}

class SmtpSecure : public ::testing::Test {
 protected:
  void start(const std::string& script, TSecurity security) {
    const TestIdentity& identity = TestCertificates::Get().Server;
    server = std::make_unique<ScriptedServer>(script, ScriptedTlsIdentity{identity.CertPem, identity.KeyPem});
    smtp.Host = "127.0.0.1";
    smtp.Port = server->Port();
    smtp.UserID = "corvane";
    smtp.TimeOut = 5000;
    smtp.Security = security;
    smtp.CAFile = TestCertificates::Get().WriteCaFile(dir.path().toStdString());
    smtp.ReportLevel = 16;
    smtp.OnStatus = [this](TObject*, const std::string& text) { statuses += text + "\n"; };
    smtp.OnConnect = [this](TObject*) { connects++; };
  }
  void finish() {
    ASSERT_TRUE(server->WaitFinished());
    EXPECT_EQ(server->Failures(), "");
  }

  QTemporaryDir dir;
  TZnSMTP smtp;
  std::unique_ptr<ScriptedServer> server;
  std::string statuses;
  int connects = 0;
};

const std::string kEhloTls =
    "S: 220 mail.test ESMTP\n"
    "C: EHLO corvane\n"
    "S: 250-mail.test\n"
    "S: 250-STARTTLS\n"
    "S: 250 8BITMIME\n"
    "C: STARTTLS\n"
    "S: 220 go ahead\n"
    "T\n";

TEST_F(SmtpSecure, StartTlsThenEhloAgainThenTheStrongestLogin) {
  struct Case {
    const char* methods;
    std::string exchange;
  };
  const std::string plain = Base64Encode(std::string("\0bob\0s3cret!", 12));
  const std::string challenge = "<42.1@mail.test>";
  const std::string cram = Base64Encode(CramMd5Response("bob", "s3cret!", challenge));
  const Case cases[] = {
      {"AUTH LOGIN PLAIN CRAM-MD5",
       "C: AUTH CRAM-MD5\nS: 334 " + Base64Encode(challenge) + "\nC: " + cram + "\nS: 235 ok\n"},
      {"AUTH LOGIN PLAIN", "C: AUTH PLAIN " + plain + "\nS: 235 ok\n"},
      {"AUTH=LOGIN", "C: AUTH LOGIN\nS: 334 VXNlcm5hbWU6\nC: Ym9i\nS: 334 UGFzc3dvcmQ6\nC: " + Base64Encode("s3cret!") +
                         "\nS: 235 ok\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.methods);
    statuses.clear();
    start(kEhloTls + "C: EHLO corvane\nS: 250-mail.test\nS: 250 " + c.methods + "\n" + c.exchange +
              "C: QUIT\nS: 221 bye\nE\n",
          secStartTLS);
    smtp.AuthUser = "bob";
    smtp.AuthPassword = "s3cret!";
    smtp.Connect();
    EXPECT_TRUE(smtp.Secure());
    smtp.Disconnect();
    finish();
    EXPECT_EQ(statuses.find("s3cret!"), std::string::npos);
  }
  EXPECT_EQ(connects, 3);
}

TEST_F(SmtpSecure, ImplicitTlsWithoutLoginKeepsHelo) {
  start("T\nS: 220 mail.test\nC: HELO corvane\nS: 250 ok\nC: QUIT\nS: 221 bye\nE\n", secSSLTLS);
  smtp.Connect();
  EXPECT_TRUE(smtp.Secure());
  smtp.Disconnect();
  finish();
  EXPECT_EQ(server->Received(), "HELO corvane\r\nQUIT\r\n");
}

TEST_F(SmtpSecure, NoDowngradeWhenStartTlsIsMissingOrRefused) {
  {
    SCOPED_TRACE("not offered");
    start("S: 220 mail.test\nC: EHLO corvane\nS: 250-mail.test\nS: 250 AUTH PLAIN\nC: QUIT\nS: 221\nE\n", secStartTLS);
    smtp.AuthUser = "bob";
    smtp.AuthPassword = "s3cret!";
    EXPECT_EQ(FailureOf([&] { smtp.Connect(); }), "127.0.0.1 does not offer a secure connection (STARTTLS)");
    finish();
    EXPECT_EQ(server->Received(), "EHLO corvane\r\nQUIT\r\n");
  }
  {
    SCOPED_TRACE("refused");
    start(
        "S: 220 mail.test\nC: EHLO corvane\nS: 250-mail.test\nS: 250 STARTTLS\nC: STARTTLS\nS: 454 TLS not available\n"
        "C: QUIT\nS: 221\nE\n",
        secStartTLS);
    EXPECT_EQ(FailureOf([&] { smtp.Connect(); }),
              "127.0.0.1 refused a secure connection (STARTTLS): 454 TLS not available");
    finish();
  }
  EXPECT_EQ(connects, 0);
}

TEST_F(SmtpSecure, RefusedLoginNamesTheAccountAndNeverThePassword) {
  start(kEhloTls + "C: EHLO corvane\nS: 250-mail.test\nS: 250 AUTH PLAIN\nC: AUTH PLAIN " +
            Base64Encode(std::string("\0bob\0wrong-pw", 13)) +
            "\nS: 535 5.7.8 Authentication credentials invalid\nC: QUIT\nS: 221 bye\nE\n",
        secStartTLS);
  smtp.AuthUser = "bob";
  smtp.AuthPassword = "wrong-pw";
  const std::string failure = FailureOf([&] { smtp.Connect(); });
  EXPECT_EQ(failure, "Login as bob at 127.0.0.1 refused: 535 5.7.8 Authentication credentials invalid");
  EXPECT_FALSE(smtp.Connected);
  finish();
  EXPECT_EQ(statuses.find("wrong-pw"), std::string::npos);
  EXPECT_EQ(connects, 0);
}

TEST_F(SmtpSecure, WithoutTlsAReadablePasswordGoesOnlyWhenAllowedAndATokenNever) {
  const std::string offer = "S: 220 mail.test\nC: EHLO corvane\nS: 250-mail.test\nS: 250 AUTH PLAIN LOGIN XOAUTH2\n";
  start(offer + "C: QUIT\nS: 221\nE\n", secNone);
  smtp.AuthUser = "bob";
  smtp.AuthPassword = "pw";
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }).rfind("Cannot log in as bob at 127.0.0.1: without an encrypted", 0), 0u);
  finish();
  EXPECT_EQ(server->Received(), "EHLO corvane\r\nQUIT\r\n");

  start(offer + "C: AUTH PLAIN " + Base64Encode(std::string("\0bob\0pw", 7)) + "\nS: 235 ok\nC: QUIT\nS: 221\nE\n",
        secNone);
  smtp.AllowPlainLogin = true;
  smtp.Connect();
  EXPECT_EQ(smtp.LoginMechanism(), "PLAIN");
  smtp.Disconnect();
  finish();

  start(offer + "C: QUIT\nS: 221\nE\n", secNone);
  smtp.BearerToken = true;
  EXPECT_NE(FailureOf([&] { smtp.Connect(); }).find("an OAuth 2.0 token goes only over an encrypted connection"),
            std::string::npos);
  finish();

  start("T\n" + offer + "C: AUTH XOAUTH2 " +
            Base64Encode("user=bob\x01"
                         "auth=Bearer pw\x01\x01") +
            "\nS: 235 ok\nC: QUIT\nS: 221\nE\n",
        secSSLTLS);
  smtp.Connect();
  smtp.Disconnect();
  finish();
}

TEST_F(SmtpSecure, LoginWithoutAnOfferedMethodFailsBeforeSendingIt) {
  start("S: 220 mail.test\nC: EHLO corvane\nS: 250-mail.test\nS: 250 AUTH GSSAPI\nC: QUIT\nS: 221\nE\n", secNone);
  smtp.AuthUser = "bob";
  smtp.AuthPassword = "pw";
  EXPECT_EQ(FailureOf([&] { smtp.Connect(); }),
            "Cannot log in as bob at 127.0.0.1: the server offers none of CRAM-MD5, PLAIN and LOGIN");
  finish();
  EXPECT_EQ(server->Received(), "EHLO corvane\r\nQUIT\r\n");
}

}  // namespace
