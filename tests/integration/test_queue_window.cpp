// The send queue as the user meets it in the window: a send that fails for now, Send later,
// the queue list and its pop-up, and replies that thread.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>

#include "QueuePane.h"
#include "RealMailServers.h"
#include "WindowSession.h"

using session::ReadBytes;
using session::Rows;
using Lines = std::vector<std::string>;

namespace {

std::string field(const std::string& message, const std::string& name) {
  const size_t at = message.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "(none)";
  const size_t start = at + name.size() + 4;
  return message.substr(start, message.find("\r\n", start) - start);
}

class QueueWindow : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    servers = RealMailServers::Start(&why);
    ASSERT_TRUE(servers) << why;
    for (const char* user : {"alice", "bob"}) servers->AddUser(user, "secret");
    window.Open();
    window.SendAccount(servers->SmtpPort());
    corvane::SetItems(window->mailto, {"alice@example.org", "bob@example.org"});
    corvane::SetText(window->outsubject, "Queued");
    corvane::SetMemoLines(window->outbody, {"Hello", "  indented"});
    // The queue's time moves only when a test moves it.
    window->queue_->Clock = [this] { return now; };
  }
  QueuePane& pane() { return *window->queue_; }
  void send() { window.Click(window->gosend, window->TabSheet4); }
  // Waits (bounded) until the queue holds count messages.
  bool queueHolds(int count) {
    return QTest::qWaitFor([&] { return pane().Store().Count() == count; }, 10000);
  }

  int64_t now = 1'800'000'000;
  std::unique_ptr<RealMailServers> servers;
  session::Window window;
};

TEST_F(QueueWindow, ASendThatCannotConnectWaitsInTheListAndGoesOutAtTheNextConnect) {
  Tpopform& form = *window;
  EXPECT_TRUE(form.queuelist->isHidden());
  corvane::SetText(form.outport, "1");  // nothing listens there
  window.Click(form.outconnect, form.TabSheet1);
  window.dialogs.shown.clear();
  window.dialogs.queue(true);  // Connection Required. Connect? -> OK
  send();
  EXPECT_TRUE(window.dialogs.errors().empty()) << window.dialogs.errors().front();
  const Lines told = window.dialogs.messages();
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[0], "Connection Failed");
  EXPECT_TRUE(told[1].starts_with("The message could not be sent now (")) << told[1];
  EXPECT_TRUE(std::filesystem::exists(window.Folder() + "mailqueue.txt"));

  // Shown, captioned and reachable by Tab from the list before it.
  EXPECT_FALSE(form.queuelist->isHidden());
  EXPECT_FALSE(form.queuelabel->isHidden());
  EXPECT_EQ(form.queuelabel->buddy(), form.queuelist);
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  form.mailbinder->setCurrentWidget(form.TabSheet4);
  form.sendhistlist->setFocus();
  QTest::keyClick(form.sendhistlist, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form.queuelist);
  EXPECT_EQ(Rows(form.queuelist, 0), Lines{"alice@example.org, bob@example.org"});
  EXPECT_EQ(Rows(form.queuelist, 2), Lines{"queued"});
  EXPECT_EQ(pane().Timer().interval(), 60000);

  corvane::SetText(form.outport, std::to_string(servers->SmtpPort()));
  window.Click(form.outconnect, form.TabSheet1);
  ASSERT_TRUE(queueHolds(0));
  EXPECT_TRUE(form.queuelist->isHidden());
  ASSERT_EQ(servers->SmtpReceived().size(), 1u);
  EXPECT_NE(servers->SmtpReceived()[0].find("\r\n  indented\r\n"), std::string::npos);
  EXPECT_EQ(Rows(form.sendhistlist, 1), Lines{"Queued"});
}

TEST_F(QueueWindow, SendLaterQueuesWithoutSendingAndTheTimerSendsItWhenItsTimeHasCome) {
  Tpopform& form = *window;
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  form.mailbinder->setCurrentWidget(form.TabSheet4);
  form.outbody->setFocus();
  QTest::keyClick(form.outbody, Qt::Key_L, Qt::ControlModifier);  // Send Later
  EXPECT_EQ(pane().Store().Count(), 1);
  EXPECT_TRUE(servers->SmtpReceived().empty());
  EXPECT_TRUE(window.dialogs.shown.empty());

  now += 60;
  pane().Queue().RetryDue();
  EXPECT_EQ(pane().Store().Count(), 0);
  EXPECT_EQ(servers->Mailbox("alice").size(), 1u);
  EXPECT_EQ(servers->Mailbox("bob").size(), 1u);
  // The queue opened the connection itself and signed off again.
  EXPECT_FALSE(form.ZnSMTP1->Connected);
  EXPECT_TRUE(window.dialogs.shown.empty());
}

TEST_F(QueueWindow, ARecipientRefusedForNowIsNoNotFoundBoxAndTheListSaysWhoStillWaits) {
  Tpopform& form = *window;
  servers->ScriptSmtp({"RCPT bob 450 4.2.0 Greylisted"});
  window.Click(form.outconnect, form.TabSheet1);
  send();
  EXPECT_TRUE(window.dialogs.errors().empty());
  const Lines told = window.dialogs.messages();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_TRUE(told[0].starts_with("The message was sent, but the server refused it for now for bob@example.org."))
      << told[0];
  EXPECT_EQ(form.statusText(), "Success");
  EXPECT_EQ(servers->Mailbox("alice").size(), 1u);
  EXPECT_EQ(Rows(form.queuelist, 0), Lines{"bob@example.org"});
  EXPECT_EQ(Rows(form.sendhistlist, 1), Lines{"Queued"});

  // Resend from the pop-up sends it to bob alone, and the outbox keeps its one record.
  form.queuelist->setCurrentItem(form.queuelist->topLevelItem(0));
  form.QueueResend1->trigger();
  EXPECT_EQ(pane().Store().Count(), 0);
  EXPECT_EQ(servers->Mailbox("alice").size(), 1u);
  EXPECT_EQ(servers->Mailbox("bob").size(), 1u);
  EXPECT_EQ(listrows::Count(form.sendhistlist), 1);
}

TEST_F(QueueWindow, EditHoldsAFailedMessageAndTheEditedOneTakesItsPlaceAndItsMessageId) {
  Tpopform& form = *window;
  servers->ScriptSmtp({"MAIL * 553 5.1.8 Sender address rejected"});
  form.SendLater1->trigger();
  const std::string id = pane().Store().At(0).MessageID;
  now += 60;
  pane().Queue().RetryDue();
  EXPECT_EQ(Rows(form.queuelist, 2), Lines{"failed"});
  EXPECT_EQ(Rows(form.queuelist, 3), Lines{"553 5.1.8 Sender address rejected"});
  EXPECT_EQ(Rows(form.queuelist, 4), Lines{""});

  corvane::SetItems(form.mailto, {});
  corvane::SetText(form.outsubject, "");
  form.queuelist->setCurrentItem(form.queuelist->topLevelItem(0));
  form.QueueEdit1->trigger();
  EXPECT_EQ(corvane::GetItems(form.mailto), (Lines{"alice@example.org", "bob@example.org"}));
  EXPECT_EQ(corvane::GetText(form.outsubject), "Queued");
  EXPECT_EQ(corvane::GetMemoLines(form.outbody), (Lines{"Hello", "  indented"}));
  EXPECT_EQ(Rows(form.queuelist, 2), Lines{"held"});
  now += 3600;
  pane().Queue().RetryDue();  // held: not sent meanwhile
  EXPECT_TRUE(servers->SmtpReceived().empty());

  corvane::SetItems(form.mailto, {"alice@example.org"});
  window.Click(form.outconnect, form.TabSheet1);
  // Refused after its end went out: failed, not left "sending", which a restart would read
  // as "may have been sent".
  servers->ScriptSmtp({"DATA * 554 5.6.0 Content rejected"});
  send();
  EXPECT_EQ(Rows(form.queuelist, 2), Lines{"failed"});
  window.dialogs.shown.clear();
  send();
  EXPECT_TRUE(window.dialogs.errors().empty()) << window.dialogs.errors().front();
  EXPECT_EQ(pane().Store().Count(), 0);
  ASSERT_EQ(servers->Mailbox("alice").size(), 1u);
  EXPECT_EQ(field(servers->Mailbox("alice")[0], "Message-ID"), id);
  EXPECT_TRUE(servers->Mailbox("bob").empty());

  // Delete from the pop-up removes a queued message for good.
  form.SendLater1->trigger();
  form.queuelist->setCurrentItem(form.queuelist->topLevelItem(0));
  form.QueueDelete1->trigger();
  EXPECT_EQ(pane().Store().Count(), 0);
  EXPECT_TRUE(form.queuelist->isHidden());
}

TEST_F(QueueWindow, AReplyThreadsUnderTheAnsweredMessageAndAResendFromTheOutboxDoesNot) {
  Tpopform& form = *window;
  servers->Deliver("alice",
                   "From: bob@example.org\r\nSubject: Plans\r\nMessage-ID: <p.1@example.net>\r\n"
                   "References: <a.1@example.net>\r\n <b.2@example.net>\r\n\r\nShall we?\r\n");
  window.ReceiveAccount("127.0.0.1", servers->Pop3Port(), "alice", "secret");
  window.Connect();
  window.Disconnect();
  listrows::Select(form.pophistlist, 0);
  window.Click(form.mailreply, form.TabSheet2);
  window.Click(form.outconnect, form.TabSheet1);
  send();
  send();  // the same fields again: another message, still a reply
  listrows::Select(form.sendhistlist, 0);
  form.sendhistlistDblClick();
  send();

  const Lines received = servers->SmtpReceived();
  ASSERT_EQ(received.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(field(received[i], "In-Reply-To"), "<p.1@example.net>");
    EXPECT_EQ(field(received[i], "References"), "<a.1@example.net> <b.2@example.net> <p.1@example.net>");
  }
  EXPECT_NE(field(received[0], "Message-ID"), field(received[1], "Message-ID"));
  EXPECT_EQ(field(received[2], "In-Reply-To"), "(none)");
  EXPECT_EQ(field(received[2], "References"), "(none)");
  // Nothing failed: no queue file was made.
  EXPECT_FALSE(std::filesystem::exists(window.Folder() + "mailqueue.txt"));
}

}  // namespace
