// Sending through the window against a real SMTP server, and receiving the sent message
// back through the Connect page.
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>

#include "RealMailServers.h"
#include "RecordingProxy.h"
#include "WindowSession.h"

using session::ReadBytes;
using session::Rows;
using session::WriteBytes;
using Kind = ScriptedDialogs::Kind;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

namespace {

// Every byte value, then a stretch that looks like mail text: line ends, dots, NULs.
std::string binaryPayload() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  uint32_t x = 2026;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes += static_cast<char>(x >> 24);
  }
  return bytes + "\r\n.\r\n..\r\n\0end"s;
}

// Python's email package reads the message: the To header, then the attachment names;
// the decoded payloads land in folder.
Lines readWithPython(const std::string& message, const std::string& folder) {
  WriteBytes(folder + "/received.eml", message);
  QProcess python;
  python.start("python3", {CORVANE_TEST_DATA "/integration/attachments.py",
                           QString::fromStdString(folder + "/received.eml"), QString::fromStdString(folder)});
  if (!python.waitForFinished(20000) || python.exitCode() != 0) {
    ADD_FAILURE() << python.readAllStandardError().toStdString();
    return {};
  }
  Lines lines;
  for (const QByteArray& line : python.readAllStandardOutput().split('\n'))
    if (!line.isEmpty()) lines.push_back(line.toStdString());
  return lines;
}

class Send : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    servers = RealMailServers::Start(&why);
    ASSERT_TRUE(servers) << why;
    servers->AddUser("alice", "secret");
    smtp = std::make_unique<RecordingProxy>(servers->SmtpPort());
    WriteBytes(window.Folder() + "mailbook.txt",
               "Alice=alice@example.org\r\nBob=bob@example.net\r\nGone=refused.one@example.org\r\n"
               "Lost=<refused.two@example.com>\r\n");
    Tpopform& form = window.Open();
    window.SendAccount(smtp->Port());
    corvane::SetText(form.outsubject, "Binary test");
    corvane::SetMemoLines(form.outbody, {"Line one", "  Line two"});
  }

  void ConnectSmtp() { window.Click(window->outconnect, window->TabSheet1); }
  void SendClick() { window.Click(window->gosend, window->TabSheet4); }
  void AddRecipient(int entry) {
    window->selectaddr->setCurrentIndex(entry);
    window.Click(window->addmailto, window->TabSheet4);
  }

  std::unique_ptr<RealMailServers> servers;
  std::unique_ptr<RecordingProxy> smtp;
  session::Window window;
};

}  // namespace

TEST_F(Send, TwoRecipientsAndABinaryAttachmentArriveIntactAreRecordedAndComeBackThroughPop3) {
  QTemporaryDir originals;
  const std::string original = originals.path().toStdString() + "/payload.bin";
  WriteBytes(original, binaryPayload());
  Tpopform& form = *window;

  ConnectSmtp();
  EXPECT_EQ(form.statusText(), "Connected");
  AddRecipient(0);
  AddRecipient(1);
  EXPECT_EQ(corvane::GetItems(form.mailto), (Lines{"alice@example.org", "bob@example.net"}));
  window.dialogs.queue(true, original);
  window.Click(form.addatt, form.TabSheet4);
  EXPECT_EQ(corvane::GetItems(form.outattach), Lines{original});
  Lines statuses;
  const auto keep = [&](auto& event) {
    event = [&statuses, &form, next = event](auto&&... args) {
      next(args...);
      statuses.push_back(form.statusText());
    };
  };
  keep(form.ZnSMTP1->OnEncodeStart);
  keep(form.ZnSMTP1->OnEncodeEnd);
  keep(form.ZnSMTP1->OnSendStart);
  keep(form.ZnSMTP1->OnPacketSent);

  SendClick();

  EXPECT_TRUE(window.dialogs.errors().empty()) << window.dialogs.errors().front();
  EXPECT_EQ(form.statusText(), "Success");
  ASSERT_GE(statuses.size(), 4u);
  EXPECT_EQ(Lines(statuses.begin(), statuses.begin() + 3),
            (Lines{"Encoding " + original, "Finished encoding " + original, "Sending message"}));
  const std::string total = std::to_string(form.ZnSMTP1->BytesTotal);
  EXPECT_EQ(statuses.back(), total + " bytes of " + total + " sent");
  const Lines commands = smtp->Commands();
  EXPECT_EQ(Lines(commands.begin(), commands.begin() + 5),
            (Lines{"HELO tester", "RSET", "MAIL FROM:<tess@example.org>", "RCPT TO:<alice@example.org>",
                   "RCPT TO:<bob@example.net>"}));
  ASSERT_EQ(servers->SmtpReceived().size(), 1u);
  QTemporaryDir extracted;
  const std::string folder = extracted.path().toStdString();
  EXPECT_EQ(readWithPython(servers->SmtpReceived()[0], folder),
            (Lines{"alice@example.org,bob@example.net", "payload.bin"}));
  EXPECT_EQ(ReadBytes(folder + "/payload.bin"), binaryPayload());

  // Recorded in the outbox; the compose fields keep what they held.
  EXPECT_EQ(Rows(form.sendhistlist, 1), Lines{"Binary test"});
  EXPECT_TRUE(std::filesystem::exists(window.Folder() + "mailout.txt"));
  EXPECT_EQ(corvane::GetItems(form.mailto), (Lines{"alice@example.org", "bob@example.net"}));
  EXPECT_EQ(corvane::GetText(form.outsubject), "Binary test");

  window.ReceiveAccount("127.0.0.1", servers->Pop3Port(), "alice", "secret");
  window.Connect();
  EXPECT_TRUE(window.dialogs.errors().empty());
  EXPECT_EQ(Rows(form.pophistlist, 1), Lines{"Binary test"});
  EXPECT_EQ(corvane::GetItems(form.popatt), Lines{"payload.bin"});
  EXPECT_EQ(ReadBytes(window.Folder() + "payload.bin"), binaryPayload());
}

TEST_F(Send, WithoutAConnectionTheUserIsAskedAndCancelFailsWhileOkConnectsAndSends) {
  AddRecipient(0);
  ConnectSmtp();
  window.Click(window->outdisconnect, window->TabSheet1);
  EXPECT_EQ(window->statusText(), "Disconnected");

  window.dialogs.queue(false);
  SendClick();
  EXPECT_EQ(window.dialogs.texts(Kind::Confirm), Lines{"Connection Required. Connect?"});
  EXPECT_EQ(window.dialogs.errors(), Lines{"Not Connected."});
  EXPECT_TRUE(servers->SmtpReceived().empty());

  window.dialogs.shown.clear();
  window.dialogs.queue(true);
  SendClick();
  EXPECT_EQ(window.dialogs.texts(Kind::Confirm), Lines{"Connection Required. Connect?"});
  EXPECT_TRUE(window.dialogs.errors().empty());
  EXPECT_EQ(window->statusText(), "Success");
  EXPECT_EQ(servers->SmtpReceived().size(), 1u);
  EXPECT_EQ(smtp->Connections(), 2);
  EXPECT_EQ(listrows::Count(window->sendhistlist), 1);
}

TEST_F(Send, WithoutARecipientNothingGoesOutAndBothBoxesShowInTurn) {
  ConnectSmtp();
  // Typed into the box but never added: not a recipient.
  window->mailto->setEditText("alice@example.org");

  SendClick();

  ASSERT_EQ(window.dialogs.shown.size(), 2u);
  EXPECT_EQ(window.dialogs.shown[0].kind, Kind::Message);
  EXPECT_EQ(window.dialogs.shown[0].text, "Header Incomplete.");
  EXPECT_EQ(window.dialogs.shown[1].kind, Kind::Error);
  EXPECT_EQ(window.dialogs.shown[1].text, "Incomplete Header.");
  EXPECT_EQ(smtp->Commands(), Lines{"HELO tester"});
  EXPECT_EQ(listrows::Count(window->sendhistlist), 0);
}

TEST_F(Send, EachRefusedRecipientGetsItsOwnBoxAndTheMessageStillGoesToTheOthers) {
  ConnectSmtp();
  AddRecipient(2);
  AddRecipient(0);
  AddRecipient(3);

  SendClick();

  EXPECT_EQ(window.dialogs.messages(), (Lines{"Recipient \"refused.one@example.org\" not found",
                                              "Recipient \"<refused.two@example.com>\" not found"}));
  EXPECT_TRUE(window.dialogs.errors().empty());
  EXPECT_EQ(window->statusText(), "Success");
  EXPECT_EQ(servers->Mailbox("alice").size(), 1u);
  EXPECT_EQ(listrows::Count(window->sendhistlist), 1);
}

TEST_F(Send, ClosingTheWindowWhileASendConnectsSendsNothingAndShowsNothingMore) {
  AddRecipient(0);
  corvane::SetText(window->outhost, "localhost");
  ConnectSmtp();
  window.Click(window->outdisconnect, window->TabSheet1);
  // Closed during the host lookup of the connect asked for: there is nothing to abort yet.
  window->ZnSMTP1->OnHostResolved = [this](TObject*) { window->close(); };
  window.dialogs.queue(true);  // "Connection Required. Connect?" -> OK

  SendClick();

  ASSERT_EQ(window.dialogs.shown.size(), 1u) << window.dialogs.shown.back().text;
  EXPECT_EQ(window.dialogs.shown[0].kind, Kind::Confirm);
  const Lines commands = smtp->Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "DATA"), 0);
  EXPECT_TRUE(servers->SmtpReceived().empty());
  EXPECT_FALSE(window->ZnSMTP1->Connected);
  EXPECT_EQ(listrows::Count(window->sendhistlist), 0);
}
