// The sessions behind a view without widgets: what they tell the view, what goes on the
// wire and what they keep on disk.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "InboxStore.h"
#include "MboxArchive.h"
#include "OutboxStore.h"
#include "QueueStore.h"
#include "ReceiveSession.h"
#include "ScriptedDialogs.h"
#include "ScriptedServer.h"
#include "SendSession.h"
#include "Streams.h"
#include "SysUtils.h"

namespace {

// Records every report as a line, in order.
class RecordingView : public ReceiveView, public SendView {
 public:
  std::vector<std::string> reports;
  ScriptedDialogs dialogs;

  void Status(const std::string& text) override { reports.push_back("status " + text); }
  void ShowFailure(const std::exception& failure) override {
    reports.push_back(std::string("failure ") + failure.what());
  }
  Dialogs& Ask() override { return dialogs; }
  void Busy(bool busy) override { reports.push_back(busy ? "busy" : "idle"); }
  void ShowInbox() override { reports.push_back("inbox"); }
  void Receiving(bool receiving) override { reports.push_back(receiving ? "receiving" : "received"); }
  void Stored() override { reports.push_back("stored"); }
  void ShowReceived(const InboxMessage& shown, size_t bodyLines, int row) override {
    reports.push_back("show [" + shown.Subject + "] " + std::to_string(bodyLines) + " lines, row " +
                      std::to_string(row));
  }
  void UniqueIds(bool available) override { reports.push_back(available ? "ids" : "no ids"); }
};

class SessionTest : public testing::Test {
 protected:
  // One receive session with alice's account against server, to its end.
  void receiveFrom(ScriptedServer& server, bool sasl = false) {
    TZnPOP3 pop3;
    ReceiveSession session(pop3, view, [&]() -> InboxStore& { return inbox; });
    session.SetFolder(folder, {});
    session.Now = [] { return int64_t{1000}; };
    pop3.OnConnect = [&](TObject*) { session.Connected(); };
    pop3.OnRetrieveStart = [&](TObject*) { session.RetrieveStarted(); };
    pop3.OnRetrieveEnd = [&](TObject*) { session.RetrieveEnded(); };
    Account alice;
    alice.host = "127.0.0.1";
    alice.port = std::to_string(server.Port());
    alice.userId = "alice";
    alice.password = "secret";
    if (sasl) alice.login = "Password";
    alice.allowPlainLogin = sasl ? "1" : "";
    session.Connect(alice, 10000, [](const std::string&) {});
    pop3.Abort();
    ASSERT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Failures(), "");
  }

  QTemporaryDir dir;
  std::string folder = dir.path().toStdString() + "/";
  RecordingView view;
  InboxStore inbox{folder + "mailin.txt"};
};

TEST_F(SessionTest, ReceiveSkipsWhatAnEarlierSessionStoredAndDeletesEverythingOnceAllIsKept) {
  ScriptedServer server(
      "S: +OK ready\nC: USER alice\nS: +OK\nC: PASS secret\nS: +OK\nC: STAT\nS: +OK 2 64\n"
      "C: CAPA\nS: -ERR\nC: UIDL\nS: +OK\nS: 1 aaa\nS: 2 bbb\nS: .\n"
      "C: RETR 2\nS: +OK\nS: Subject: Two\nR: \\r\\n\nS: one line\nS: .\n"
      "C: DELE 1\nS: +OK\nC: DELE 2\nS: +OK\nE\n");
  // The ids file of an earlier version keys the mailbox by its port as well.
  corvane::WriteFileAtomically(folder + "mailin.uidl",
                               "127.0.0.1 " + std::to_string(server.Port()) + " alice aaa\nother 110 bob x\n");

  receiveFrom(server);

  EXPECT_EQ(view.reports, (std::vector<std::string>{"status Connected", "inbox", "receiving", "ids", "busy",
                                                    "status Retrieval start", "idle", "status Retrieval end", "stored",
                                                    "show [ Two] 1 lines, row 0", "received", "inbox"}));
  ASSERT_EQ(inbox.Count(), 1);
  EXPECT_EQ(inbox.RowAt(0).Subject, "Two");
  // Another account's ids stay; this mailbox's (by host and user now) are those it still
  // lists and the store holds, with when each was stored and the record made of it; the
  // last line commits the store's batch and the archive's length.
  EXPECT_THAT(corvane::ReadFile(folder + "mailin.uidl"),
              testing::MatchesRegex("other 110 bob x\n127\\.0\\.0\\.1 alice aaa 1000\n"
                                    "127\\.0\\.0\\.1 alice bbb 1000 r[0-9a-f]{16}\n"
                                    "#commit [0-9a-f]{16} " +
                                    std::to_string(corvane::ReadFile(folder + "mailin.mbox").size()) + "\n"));
  EXPECT_EQ(MboxArchive::ReadMessages(folder + "mailin.mbox").size(), 1u);
}

// RFC 6856: UTF8 goes out after the login, before the first command that reads a message,
// only to a server that lists it; a refusal changes nothing else.
TEST_F(SessionTest, Utf8IsAskedForOnlyWhenListedAndARefusalIsTolerated) {
  const std::string userPass = "C: USER alice\nS: +OK\nC: PASS secret\nS: +OK\n";
  const struct {
    const char* name;
    std::string login;
    std::string capa;
    std::string utf8;
    bool sasl;
  } cases[] = {
      {"listed and taken", userPass, "S: UTF8 USER\nS: PIPELINING\n", "C: UTF8\nS: +OK UTF8 enabled\n", false},
      {"listed in lower case, refused", userPass, "S: utf8\n", "C: UTF8\nS: -ERR not now\n", false},
      {"not listed", userPass, "S: UIDL\nS: TOP\n", "", false},
      // Taken before a login whose CAPA listed it: not asked for twice.
      {"taken before the login", "C: CAPA\nS: +OK\nS: UTF8\nS: USER\nS: .\nC: UTF8\nS: +OK\n" + userPass, "S: UTF8\n",
       "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = inbox.Count();
    ScriptedServer server("S: +OK ready\n" + c.login + "C: STAT\nS: +OK 1 30\nC: CAPA\nS: +OK\n" + c.capa + "S: .\n" +
                          c.utf8 +
                          "C: UIDL\nS: -ERR\nC: RETR 1\nS: +OK\nS: Subject: \xc3\xa9t\xc3\xa9\nR: \\r\\n\n"
                          "S: body\nS: .\nC: DELE 1\nS: +OK\nE\n");
    receiveFrom(server, c.sasl);
    ASSERT_EQ(inbox.Count(), before + 1);
    EXPECT_EQ(inbox.RowAt(before).Subject, "\xc3\xa9t\xc3\xa9");
  }
}

TEST_F(SessionTest, SendWithoutAConnectionAsksThroughTheViewAndFailsOnCancel) {
  TZnSMTP smtp;
  SendSession session(smtp, view);
  smtp.OnConnectionRequired = [&](bool& handled) { session.ConnectionRequired(handled); };
  QueuedMessage message;
  message.Fields.FromAddress = "a@x";
  message.Fields.ToAddress = {"b@x"};
  message.ResetRecipients();
  view.dialogs.queue(false);
  // The user's No is final: nothing for the queue to try again.
  const SendOutcome outcome = session.Send(message);
  EXPECT_EQ(outcome.kind, SendOutcome::Permanent);
  EXPECT_EQ(outcome.reply, "Not Connected");
  EXPECT_EQ(view.dialogs.texts(ScriptedDialogs::Kind::Confirm),
            std::vector<std::string>{"Connection Required. Connect?"});
  EXPECT_TRUE(view.reports.empty());
}

}  // namespace
