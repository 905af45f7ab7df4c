// What TZnSMTP does with the extensions an EHLO reply announces, how it answers each
// recipient's reply, and what it reports of a send for another attempt.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "FailureOf.h"
#include "ScriptedServer.h"
#include "SmtpReply.h"
#include "SysUtils.h"
#include "Znsmtp.h"

namespace {

using corvane::smtp::Extensions;

const std::string kDate = "Mon, 7 Dec 2026 14:05:09 +0000";
const std::string kMessageId = "<1@example.org>";

// EHLO (the account logs in) announcing caps, then the login.
std::string ehloOpen(const std::string& caps) {
  std::string script = "S: 220 mail.test ESMTP\nC: EHLO corvane\nS: 250-mail.test\n";
  for (size_t start = 0; start < caps.size();) {
    const size_t end = caps.find(',', start);
    script += "S: 250-" + caps.substr(start, end - start) + "\n";
    start = end == std::string::npos ? caps.size() : end + 1;
  }
  return script + "S: 250 AUTH PLAIN\nC: AUTH PLAIN AGJvYgBwdw==\nS: 235 ok\n";
}

class SmtpExtensions : public ::testing::Test {
 protected:
  void SetUp() override {
    TPostMessage& m = smtp.PostMessage;
    m.FromAddress = "ann@example.org";
    m.Date = kDate;
    m.MessageID = kMessageId;
    m.Body.Add("Hi");
  }
  void start(const std::string& script, bool ehlo = true) {
    server = std::make_unique<ScriptedServer>(script);
    smtp.Host = "127.0.0.1";
    smtp.Port = server->Port();
    smtp.UserID = "corvane";
    smtp.TimeOut = 5000;
    if (ehlo) {
      smtp.AuthUser = "bob";
      smtp.AuthPassword = "pw";
      smtp.AllowPlainLogin = true;  // the scripted servers speak without TLS
    }
    smtp.ClearParams = false;
    smtp.OnRecipientNotFound = [this](const std::string& r) { log.push_back("not found " + r); };
    smtp.OnRecipientDeferred = [this](const std::string& r) { log.push_back("deferred " + r); };
    smtp.OnSuccess = [this](TObject*) { log.push_back("success"); };
  }
  void to(std::initializer_list<const char*> entries) {
    smtp.PostMessage.ToAddress.Clear();
    for (const char* entry : entries) smtp.PostMessage.ToAddress.Add(entry);
  }
  // The text after DATA as the component composes it now.
  std::string text() {
    TExStringList header;
    std::string boundary;
    TMemoryStream body;
    corvane::smtp::ComposeMessage(smtp.PostMessage, uuMime, 0, {}, header, boundary, body);
    return corvane::smtp::HeaderText(header) + body.Data();
  }
  void finish() {
    ASSERT_TRUE(server->WaitFinished());
    EXPECT_EQ(server->Failures(), "");
  }

  TZnSMTP smtp;
  std::unique_ptr<ScriptedServer> server;
  std::vector<std::string> log;
};

TEST(SmtpReply, EnhancedCodesAreFoundAndExplained) {
  struct Case {
    const char* reply;
    const char* code;
    const char* explained;
  };
  const Case cases[] = {
      {"550 5.1.1 No such user\r\n", "5.1.1", "550 5.1.1 No such user (5.1.1: Bad destination mailbox address)"},
      {"452 4.2.2 Mailbox full", "4.2.2", "452 4.2.2 Mailbox full (4.2.2: Mailbox full)"},
      {"421 4.3.2 Shutting down", "4.3.2", "421 4.3.2 Shutting down (4.3.2: System not accepting network messages)"},
      {"554 5.7.99 Policy", "5.7.99", "554 5.7.99 Policy (5.7.99: Security or policy status)"},
      {"550 5.9.1 Odd subject", "5.9.1", "550 5.9.1 Odd subject"},
      {"550 No such user", "", "550 No such user"},
      {"250 2.0.0", "2.0.0", "250 2.0.0 (2.0.0: Other undefined status)"},
      {"550 5.1.1x", "", "550 5.1.1x"},
      {"550 1.2.3 not a class", "", "550 1.2.3 not a class"},
      {"550 55.1.1 two-digit class", "", "550 55.1.1 two-digit class"},
      {"55", "", "55"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(corvane::smtp::EnhancedCodeOf(c.reply), c.code);
    EXPECT_EQ(corvane::smtp::ExplainReply(c.reply, true), c.explained);
    EXPECT_EQ(corvane::smtp::ExplainReply(c.reply, false), corvane::WithoutLineBreaks(c.reply));
  }
}

TEST(SmtpReply, CapabilitiesOfAnEhloReply) {
  const Extensions all =
      Extensions::Parse({"size 35882577", "PIPELINING", "8BITMIME", "SMTPUTF8", "ENHANCEDSTATUSCODES"});
  EXPECT_TRUE(all.size && all.pipelining && all.eightBitMime && all.smtpUtf8 && all.enhancedStatusCodes);
  EXPECT_EQ(all.sizeLimit, 35882577);
  for (const char* unlimited : {"SIZE", "SIZE 0", "SIZE huge", "SIZE -5"}) {
    const Extensions e = Extensions::Parse({unlimited});
    EXPECT_TRUE(e.size) << unlimited;
    EXPECT_EQ(e.sizeLimit, 0) << unlimited;
  }
  const Extensions none = Extensions::Parse({"SIZED 10", "PIPELININGX", "AUTH PLAIN"});
  EXPECT_FALSE(none.size || none.pipelining || none.smtpUtf8 || none.enhancedStatusCodes);
}

TEST_F(SmtpExtensions, PipelinedEnvelopeGoesOutBeforeAnyReplyAndEachRecipientIsAnswered) {
  to({"bob@example.org", "Carol <carol@example.org>", "dave@example.org", "", "eve@example.org"});
  const std::string message = text();
  const std::string size = std::to_string(message.size());
  // The server reads the whole group before it answers anything: a lock-step client would
  // wait for the RSET reply forever.
  start(ehloOpen("PIPELINING,SIZE 100000,ENHANCEDSTATUSCODES") +
        "C: RSET\nC: MAIL FROM:<ann@example.org> SIZE=" + size +
        "\nC: RCPT TO:<bob@example.org>\nC: RCPT TO:<carol@example.org>\nC: RCPT TO:<dave@example.org>\n"
        "C: RCPT TO:<eve@example.org>\n"
        "S: 250 2.0.0 ok\nS: 250 2.1.0 ok\nS: 250 2.1.5 ok\nS: 450 4.2.0 Greylisted, try later\n"
        "S: 550 5.1.1 No such user\nS: 452-4.2.2 Mailbox full\nS: 452 4.2.2 really\n"
        "C: DATA\nS: 354 go\nB: " +
        size + "\nC: .\nS: 250 2.0.0 queued as 1\nE\n");
  smtp.Connect();
  smtp.SendMail();
  smtp.Abort();
  finish();
  EXPECT_EQ(log, (std::vector<std::string>{"deferred Carol <carol@example.org>", "not found dave@example.org",
                                           "deferred eve@example.org", "success"}));
  const TSmtpSendReport& report = smtp.LastSend();
  EXPECT_TRUE(report.Accepted);
  EXPECT_TRUE(report.DataEndSent);
  EXPECT_EQ(report.Reply, "250 2.0.0 queued as 1");
  ASSERT_EQ(report.Recipients.size(), 4u);
  EXPECT_EQ(report.Recipients[1].Entry, "Carol <carol@example.org>");
  EXPECT_EQ(report.Recipients[1].Code, 450);
  EXPECT_EQ(report.Recipients[3].Reply, "452 4.2.2 really");
}

TEST_F(SmtpExtensions, TooLargeForTheAnnouncedSizeIsRefusedBeforeAnyCommand) {
  to({"bob@example.org"});
  const std::string size = std::to_string(text().size());
  start(ehloOpen("SIZE 100") + "C: QUIT\nS: 221 bye\nE\n");
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }),
            "The message is " + size + " bytes as sent, more than the 100 bytes 127.0.0.1 accepts");
  EXPECT_TRUE(smtp.Connected);
  smtp.Disconnect();
  finish();
  EXPECT_EQ(server->Received().find("MAIL"), std::string::npos);
}

TEST_F(SmtpExtensions, NonAsciiLocalPartsNeedSmtpUtf8) {
  to({"jörg@example.org"});
  {
    SCOPED_TRACE("not offered: nothing is sent");
    start(ehloOpen("PIPELINING") + "C: QUIT\nS: 221 bye\nE\n");
    smtp.Connect();
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }),
              "The address jörg@example.org has characters beyond ASCII before its \"@\", which 127.0.0.1 cannot "
              "take: it does not offer SMTPUTF8");
    smtp.Disconnect();
    finish();
  }
  {
    SCOPED_TRACE("offered: MAIL FROM asks for it");
    start(ehloOpen("SMTPUTF8") + "C: RSET\nS: 250 ok\nC: MAIL FROM:<ann@example.org> SMTPUTF8\nS: 250 ok\n" +
          "C: RCPT TO:<jörg@example.org>\nS: 250 ok\nC: DATA\nS: 354 go\nB: " + std::to_string(text().size()) +
          "\nC: .\nS: 250 ok\nE\n");
    smtp.Connect();
    smtp.SendMail();
    smtp.Abort();
    finish();
  }
  {
    SCOPED_TRACE("only the domain: as before");
    to({"bob@bücher.example"});
    start(ehloOpen("PIPELINING") + "C: RSET\nC: MAIL FROM:<ann@example.org>\nC: RCPT TO:<bob@bücher.example>\n" +
          "S: 250 ok\nS: 250 ok\nS: 250 ok\nC: DATA\nS: 354 go\nB: " + std::to_string(text().size()) +
          "\nC: .\nS: 250 ok\nE\n");
    smtp.Connect();
    smtp.SendMail();
    smtp.Abort();
    finish();
  }
}

TEST_F(SmtpExtensions, EveryRecipientRefusedEndsBeforeDataWithTheLastReply) {
  to({"bob@example.org", "carol@example.org"});
  start(ehloOpen("ENHANCEDSTATUSCODES") +
        "C: RSET\nS: 250 ok\nC: MAIL FROM:<ann@example.org>\nS: 250 ok\nC: RCPT TO:<bob@example.org>\n"
        "S: 550 5.1.1 unknown\nC: RCPT TO:<carol@example.org>\nS: 450 4.7.1 greylisted\nC: QUIT\nS: 221 bye\nE\n");
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }),
            "450 4.7.1 greylisted (4.7.1: Delivery not authorized, message refused)");
  EXPECT_FALSE(smtp.LastSend().DataEndSent);
  EXPECT_EQ(smtp.LastSend().Code, 450);
  smtp.Disconnect();
  finish();
}

TEST_F(SmtpExtensions, EnvelopeListSendsToThoseAloneWhileTheHeaderNamesAll) {
  to({"bob@example.org", "carol@example.org"});
  smtp.PostMessage.Envelope.Add("carol@example.org");
  const std::string message = text();
  start(ehloOpen("") + "C: RSET\nS: 250 ok\nC: MAIL FROM:<ann@example.org>\nS: 250 ok\n" +
        "C: RCPT TO:<carol@example.org>\nS: 250 ok\nC: DATA\nS: 354 go\nB: " + std::to_string(message.size()) +
        "\nC: .\nS: 250 ok\nE\n");
  smtp.Connect();
  smtp.SendMail();
  smtp.Abort();
  finish();
  EXPECT_NE(server->Received().find("To: bob@example.org,carol@example.org\r\n"), std::string::npos);
}

TEST_F(SmtpExtensions, HeloKeepsTheLockStepDialogueWhateverItsReplyLists) {
  to({"bob@example.org"});
  start(
      "S: 220 mail.test\nC: HELO corvane\nS: 250-mail.test\nS: 250-PIPELINING\nS: 250 SIZE 10\n"
      "C: RSET\nS: 250 ok\nC: MAIL FROM:<ann@example.org>\nS: 550 5.7.1 relaying denied\nE\n",
      false);
  smtp.Connect();
  // Neither the size limit nor the enhanced code of an unannounced extension is used.
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "550 5.7.1 relaying denied\r\n");
  smtp.Abort();
  finish();
}

// Where the connection breaks decides whether the message may have reached the server.
TEST_F(SmtpExtensions, ACutBeforeTheEndOfDataIsSafeAndOneAfterItLeavesTheFateOpen) {
  to({"bob@example.org"});
  const std::string envelope =
      "C: RSET\nS: 250 ok\nC: MAIL FROM:<ann@example.org>\nS: 250 ok\nC: RCPT TO:<bob@example.org>\nS: 250 ok\n"
      "C: DATA\n";
  struct Case {
    std::string tail;
    bool endSent;
  };
  const std::string data = "S: 354 go\nB: " + std::to_string(text().size()) + "\n";
  for (const Case& c : {Case{"X\n", false}, Case{data + "C: .\nX\n", true}}) {
    SCOPED_TRACE(c.tail);
    start(ehloOpen("") + envelope + c.tail);
    smtp.Connect();
    EXPECT_NE(FailureOf([&] { smtp.SendMail(); }), "(no failure)");
    finish();
    EXPECT_EQ(smtp.LastSend().DataEndSent, c.endSent);
    EXPECT_FALSE(smtp.LastSend().Accepted);
    EXPECT_FALSE(smtp.Connected);
  }
}

TEST_F(SmtpExtensions, AFailingDataEndingHandlerClosesBeforeTheEndOfDataGoesOut) {
  to({"bob@example.org"});
  start(ehloOpen("") +
        "C: RSET\nS: 250 ok\nC: MAIL FROM:<ann@example.org>\nS: 250 ok\nC: RCPT TO:<bob@example.org>\nS: 250 ok\n"
        "C: DATA\nS: 354 go\nE\n");
  smtp.OnDataEnding = [](TObject*) { throw Exception("Cannot create file mailqueue.txt"); };
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "Cannot create file mailqueue.txt");
  finish();
  EXPECT_FALSE(smtp.Connected);
  EXPECT_FALSE(smtp.LastSend().DataEndSent);
  EXPECT_EQ(server->Received().find("\r\n.\r\n"), std::string::npos);
}

TEST_F(SmtpExtensions, A421ClosesTheConnectionSoTheNextSendConnectsAfresh) {
  to({"bob@example.org"});
  start(ehloOpen("") + "C: RSET\nS: 421 4.3.2 shutting down\nE\n");
  smtp.Connect();
  EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "421 4.3.2 shutting down\r\n");
  EXPECT_FALSE(smtp.Connected);
  EXPECT_EQ(smtp.LastSend().Code, 421);
  finish();
}

}  // namespace
