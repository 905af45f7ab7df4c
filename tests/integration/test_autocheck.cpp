// Checking by itself through the window against a real Dovecot: the interval runs whole
// sessions without a click, waits while any session is open, reports failures in the
// status bar instead of a box, and ends with the window. The interval is passed by hand.
#include <QDialog>
#include <QSpinBox>
#include <QTcpServer>
#include <algorithm>
#include <regex>

#include "AliceServers.h"
#include "AutoCheck.h"

using session::TestData;
using Lines = std::vector<std::string>;

namespace {

constexpr int kWriteMailPage = 2;

class CheckBySelf : public AliceServers {
 protected:
  // The window checking every five minutes as alice, the user writing a message meanwhile.
  Tpopform& OpenChecking(const std::string& password = "secret") {
    Tpopform& form = window.Open();
    window.ReceiveAccount("127.0.0.1", proxy->Port(), "alice", password);
    form.inCheckMinutes->setValue(5);
    form.mailbinder->setCurrentIndex(kWriteMailPage);
    return form;
  }
  void Deliver(int n) {
    for (int i = 1; i <= n; ++i) servers->Deliver("alice", TestData("three_messages/" + std::to_string(i) + ".eml"));
  }
  // The interval passes.
  void Pass() {
    ASSERT_TRUE(window->autoCheck_->Armed());
    window->autoCheck_->Elapsed();
  }
  int Rows() { return listrows::Count(window->pophistlist); }
};

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

}  // namespace

TEST_F(CheckBySelf, EachIntervalRunsAWholeSessionAndLeavesThePageAndTheMessageOnDisplayAlone) {
  Deliver(2);
  Tpopform& form = OpenChecking();
  Pass();

  EXPECT_EQ(Rows(), 2);
  const Lines commands = proxy->Commands();
  ASSERT_GE(commands.size(), 5u);
  EXPECT_EQ(Lines(commands.begin(), commands.begin() + 3), (Lines{"USER alice", "PASS secret", "STAT"}));
  EXPECT_EQ(Lines(commands.end() - 5, commands.end()), (Lines{"RETR 1", "RETR 2", "DELE 1", "DELE 2", "QUIT"}));
  // Signed off: the server applied the deletions, and the next check starts afresh.
  EXPECT_TRUE(servers->Mailbox("alice").empty());
  EXPECT_FALSE(form.ZnPOP31->Connected);
  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_EQ(form.mailbinder->currentIndex(), kWriteMailPage);
  EXPECT_TRUE(corvane::GetMemoLines(form.popmsgbody).empty());
  EXPECT_TRUE(matches(form.statusText(), R"(Checked for mail at \d\d:\d\d: 2 new messages)")) << form.statusText();
  EXPECT_TRUE(form.autoCheck_->Armed());

  Deliver(3);  // the first two again, and a third
  Pass();
  EXPECT_EQ(Rows(), 5);
  EXPECT_TRUE(matches(form.statusText(), R"(Checked for mail at \d\d:\d\d: 3 new messages)")) << form.statusText();
  Pass();
  EXPECT_TRUE(matches(form.statusText(), R"(Checked for mail at \d\d:\d\d: no new messages)")) << form.statusText();
  EXPECT_TRUE(window.dialogs.shown.empty());
}

TEST_F(CheckBySelf, NoCheckStartsWhileASessionOfEitherSideIsOpen) {
  Deliver(1);
  Tpopform& form = OpenChecking();
  window.SendAccount(servers->SmtpPort());
  const struct {
    const char* name;
    QToolButton* connect;
    QToolButton* disconnect;
  } cases[] = {{"receive", form.inconnect, form.indisconnect}, {"send", form.outconnect, form.outdisconnect}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window.Click(c.connect, form.TabSheet1);
    const int rows = Rows();
    const size_t sent = proxy->Commands().size();
    const std::string status = form.statusText();
    Deliver(1);
    Pass();
    EXPECT_EQ(proxy->Commands().size(), sent);
    EXPECT_EQ(Rows(), rows);
    EXPECT_EQ(form.statusText(), status);
    // Once the way is clear, the next interval checks.
    window.Click(c.disconnect, form.TabSheet1);
    Pass();
    EXPECT_EQ(Rows(), rows + 1);
  }
  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;

  // Nor while a box waits for the user.
  QDialog box(&form);
  box.setModal(true);
  box.show();
  const int rows = Rows();
  Deliver(1);
  Pass();
  EXPECT_EQ(Rows(), rows);
  box.close();
  Pass();
  EXPECT_EQ(Rows(), rows + 1);
}

TEST_F(CheckBySelf, AFailureShowsInTheStatusBarWithTheTimeNeverAsABox) {
  uint16_t closedPort = 0;
  {
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    closedPort = listener.serverPort();
  }
  Deliver(1);
  Tpopform& form = OpenChecking("wrong");
  const struct {
    const char* name;
    uint16_t port;
    std::string failure;
  } cases[] = {{"login refused", proxy->Port(), "Authentication failed"},
               {"server down", closedPort, "Connection Failed"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    corvane::SetText(form.inPort, std::to_string(c.port));
    for (int interval = 0; interval < 2; ++interval) {
      Pass();
      EXPECT_TRUE(matches(form.statusText(), R"(Checking for mail failed at \d\d:\d\d: )" + c.failure))
          << form.statusText();
    }
  }
  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_EQ(servers->Mailbox("alice").size(), 1u);
  EXPECT_EQ(Rows(), 0);
}

TEST_F(CheckBySelf, ClosingTheWindowEndsTheChecksEvenInsideOne) {
  Deliver(2);
  Tpopform& form = OpenChecking();
  // The window closes while the first message comes in: nothing is deleted, nothing shown.
  const auto start = form.ZnPOP31->OnRetrieveStart;
  form.ZnPOP31->OnRetrieveStart = [&](TObject* sender) {
    start(sender);
    form.close();
  };
  Pass();
  EXPECT_FALSE(form.autoCheck_->Armed());
  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_EQ(servers->Mailbox("alice").size(), 2u);
  Lines commands = proxy->Commands();
  EXPECT_TRUE(std::find(commands.begin(), commands.end(), "DELE 1") == commands.end());

  // Neither the interval nor the box starts another.
  const size_t sent = commands.size();
  form.autoCheck_->Elapsed();
  form.inCheckMinutes->setValue(1);
  EXPECT_FALSE(form.autoCheck_->Armed());
  EXPECT_EQ(proxy->Commands().size(), sent);
}
