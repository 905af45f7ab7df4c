// Receiving through the window against a real Dovecot: one connect retrieves, shows and
// stores every message and marks them for deletion only when all are safely stored.
#include <QCursor>
#include <QLabel>
#include <QStatusBar>
#include <QTcpServer>
#include <algorithm>
#include <filesystem>

#include "AliceServers.h"
#include "WireProxy.h"

using session::ReadBytes;
using session::Rows;
using session::TestData;
using Kind = ScriptedDialogs::Kind;
using Lines = std::vector<std::string>;

namespace {

class Receive : public AliceServers {
 protected:
  void DeliverThree() {
    for (const char* name : {"1.eml", "2.eml", "3.eml"})
      servers->Deliver("alice", TestData(std::string("three_messages/") + name));
  }

  Tpopform& OpenAsAlice() {
    Tpopform& form = window.Open();
    window.ReceiveAccount("127.0.0.1", proxy->Port(), "alice", "secret");
    return form;
  }
};

const Lines kLogin{"USER alice", "PASS secret", "STAT"};

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST_F(Receive, ThreeMessagesAreListedOneByOneStoredByteExactAndDeletedOnlyAfterTheLast) {
  DeliverThree();
  Tpopform& form = OpenAsAlice();
  std::vector<int> rowsWhenRetrievalStarts;
  std::vector<Qt::CursorShape> cursorsWhileRetrieving;
  const auto start = form.ZnPOP31->OnRetrieveStart;
  form.ZnPOP31->OnRetrieveStart = [&](TObject* sender) {
    rowsWhenRetrievalStarts.push_back(listrows::Count(form.pophistlist));
    start(sender);
    cursorsWhileRetrieving.push_back(form.cursor().shape());
  };

  window.Connect();

  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_EQ(rowsWhenRetrievalStarts, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(cursorsWhileRetrieving, std::vector<Qt::CursorShape>(3, Qt::WaitCursor));
  EXPECT_EQ(proxy->Commands(),
            (kLogin + Lines{"CAPA", "UIDL", "RETR 1", "RETR 2", "RETR 3", "DELE 1", "DELE 2", "DELE 3"}));
  EXPECT_EQ(Rows(form.pophistlist, 0),
            (Lines{"Ada <ada@example.org>", "Carla <carla@example.com>", "Bruno <bruno@example.net>"}));
  EXPECT_EQ(Rows(form.pophistlist, 1), (Lines{"First", "Second", "Third, with a file"}));
  EXPECT_EQ(form.mailbinder->currentIndex(), 1);
  EXPECT_EQ(form.statusText(), "Operation successful");
  EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);

  // The last message is on display.
  EXPECT_EQ(corvane::GetMemoLines(form.popmsgheader),
            (Lines{"From: Bruno <bruno@example.net>", "To: alice@example.org", "Subject: Third, with a file",
                   "Mime-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"b1\"", ""}));
  EXPECT_EQ(corvane::GetMemoLines(form.popmsgbody), (Lines{"See the file.", "", "File \"data.bin\" extracted"}));
  EXPECT_EQ(corvane::GetItems(form.popatt), Lines{"data.bin"});
  EXPECT_EQ(ReadBytes(window.Folder() + "data.bin"), TestData("three_messages/data.bin"));
  EXPECT_EQ(ReadBytes(window.Folder() + "mailin.txt"), TestData("three_messages/mailin.txt.expected"));

  // Marked, not gone, until the session is signed off.
  EXPECT_EQ(servers->Mailbox("alice").size(), 3u);
  window.Disconnect();
  EXPECT_EQ(proxy->Commands().back(), "QUIT");
  EXPECT_EQ(form.statusText(), "Disconnected");
  EXPECT_TRUE(servers->Mailbox("alice").empty());

  const size_t before = proxy->Commands().size();
  window.Connect();
  const Lines all = proxy->Commands();
  const Lines second(all.begin() + static_cast<long>(before), all.end());
  EXPECT_EQ(second, kLogin);
  EXPECT_EQ(listrows::Count(form.pophistlist), 3);
  EXPECT_TRUE(window.dialogs.shown.empty());

  // CORVANE_SCREENSHOT=file.png keeps a picture of the window after the receive.
  if (const QByteArray shot = qgetenv("CORVANE_SCREENSHOT"); !shot.isEmpty()) {
    form.mailbinder->setCurrentIndex(1);
    listrows::Select(form.pophistlist, 2);
    EXPECT_TRUE(form.grab().save(QString::fromLocal8Bit(shot)));
  }
}

TEST_F(Receive, ASessionClosedWithoutSignOffCostsNothingOnTheNextConnect) {
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  servers->Deliver("alice", TestData("three_messages/2.eml"));
  OpenAsAlice();
  window.Connect();
  EXPECT_EQ(proxy->Commands(), (kLogin + Lines{"CAPA", "UIDL", "RETR 1", "RETR 2", "DELE 1", "DELE 2"}));
  const std::string stored = ReadBytes(window.Folder() + "mailin.txt");

  window.Close();
  EXPECT_EQ(proxy->Commands().back(), "DELE 2");  // dropped without QUIT
  EXPECT_EQ(servers->Mailbox("alice").size(), 2u);

  // The next start finds them stored; the next connect only deletes them, and a third
  // message that arrived meanwhile is the only one fetched.
  servers->Deliver("alice", TestData("three_messages/3.eml"));
  Tpopform& again = OpenAsAlice();
  EXPECT_EQ(listrows::Count(again.pophistlist), 2);
  const size_t before = proxy->Commands().size();
  window.Connect();
  const Lines all = proxy->Commands();
  EXPECT_EQ(Lines(all.begin() + static_cast<long>(before), all.end()),
            (kLogin + Lines{"CAPA", "UIDL", "RETR 3", "DELE 1", "DELE 2", "DELE 3"}));
  EXPECT_EQ(Rows(again.pophistlist, 1), (Lines{"First", "Second", "Third, with a file"}));
  EXPECT_TRUE(window.dialogs.shown.empty());
  EXPECT_EQ(ReadBytes(window.Folder() + "mailin.txt").substr(0, stored.size()), stored);
  // Only what the server still lists is remembered.
  window.Disconnect();
  EXPECT_TRUE(servers->Mailbox("alice").empty());
  const std::string seen = ReadBytes(window.Folder() + "mailin.uidl");
  // Three ids, and the line that commits the session.
  EXPECT_EQ(std::count(seen.begin(), seen.end(), '\n'), 4);
  EXPECT_TRUE(seen.substr(seen.rfind('\n', seen.size() - 2) + 1).starts_with("#commit "));
}

TEST_F(Receive, AStoreThatCannotBeWrittenEndsTheLoopBeforeAnyDeletionAndLeavesTheSessionUsable) {
  DeliverThree();
  // A folder where the store file should be: the store can be neither read nor written.
  std::filesystem::create_directory(window.Folder() + "mailin.txt");
  Tpopform& form = OpenAsAlice();
  window.dialogs.shown.clear();

  window.Connect();

  ASSERT_EQ(window.dialogs.shown.size(), 1u);
  EXPECT_EQ(window.dialogs.shown[0].kind, Kind::Error);
  EXPECT_EQ(window.dialogs.shown[0].text, "Cannot create file " + window.Folder() + "mailin.txt.");
  // The server announces PIPELINING: the later RETRs went out ahead, and their replies
  // are read and dropped before the next command.
  EXPECT_EQ(proxy->Commands(), (kLogin + Lines{"CAPA", "UIDL", "RETR 1", "RETR 2", "RETR 3"}));
  EXPECT_TRUE(form.ZnPOP31->Connected);
  EXPECT_FALSE(form.ZnPOP31->Busy());
  EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);

  window.Disconnect();
  EXPECT_EQ(proxy->Commands().back(), "QUIT");
  EXPECT_EQ(servers->Mailbox("alice").size(), 3u);
}

TEST_F(Receive, AReconnectInsideARetrievalGoesOnWithoutStoringOrDeletingTwice) {
  DeliverThree();
  Tpopform& form = OpenAsAlice();
  bool dropped = false;
  const auto end = form.ZnPOP31->OnRetrieveEnd;
  form.ZnPOP31->OnRetrieveEnd = [&](TObject* sender) {
    end(sender);
    if (dropped) return;
    // The server goes away between the first and the second retrieval.
    dropped = true;
    proxy->DropAll();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form.ZnPOP31->Connected; }, 10000));
  };
  window.dialogs.queue(true);  // "Connection Required. Connect?" -> OK

  window.Connect();

  EXPECT_EQ(window.dialogs.texts(Kind::Confirm), Lines{"Connection Required. Connect?"});
  EXPECT_TRUE(window.dialogs.errors().empty());
  EXPECT_EQ(proxy->Connections(), 2);
  EXPECT_EQ(proxy->Commands(), (kLogin + Lines{"CAPA", "UIDL", "RETR 1", "RETR 2", "RETR 3"} + kLogin +
                                Lines{"RETR 2", "RETR 3", "DELE 1", "DELE 2", "DELE 3"}));
  EXPECT_EQ(ReadBytes(window.Folder() + "mailin.txt"), TestData("three_messages/mailin.txt.expected"));
  window.Disconnect();
  EXPECT_TRUE(servers->Mailbox("alice").empty());
}

TEST_F(Receive, DisconnectDuringTheRetrievalLoopCancelsItAndDeletesNothing) {
  DeliverThree();
  Tpopform& form = OpenAsAlice();
  int started = 0;
  const auto start = form.ZnPOP31->OnRetrieveStart;
  form.ZnPOP31->OnRetrieveStart = [&](TObject* sender) {
    start(sender);
    if (++started == 2) QTest::mouseClick(form.indisconnect, Qt::LeftButton);
  };

  window.Connect();

  EXPECT_EQ(window.dialogs.errors(), Lines{"Socket readln aborted."});
  const Lines commands = proxy->Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.rfind("DELE", 0) == 0 || c == "QUIT"; }),
            0);
  EXPECT_EQ(listrows::Count(form.pophistlist), 1);
  EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
  EXPECT_EQ(servers->Mailbox("alice").size(), 3u);
}

TEST_F(Receive, ConnectFailuresAreReportedInTheirOrderAndTouchNothing) {
  Tpopform& form = OpenAsAlice();
  const std::string statusBefore = form.statusText();

  // A port with a letter: the conversion error, and nothing goes out.
  corvane::SetText(form.inPort, "11O");
  window.Connect();
  EXPECT_EQ(window.dialogs.errors(), Lines{"'11O' is not a valid integer value."});
  EXPECT_EQ(window.dialogs.shown.size(), 1u);
  EXPECT_EQ(proxy->Connections(), 0);
  EXPECT_EQ(form.statusText(), statusBefore);

  // Nobody listening: the message box first, then the failure.
  uint16_t closedPort = 0;
  {
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    closedPort = listener.serverPort();
  }
  window.dialogs.shown.clear();
  corvane::SetText(form.inPort, std::to_string(closedPort));
  window.Connect();
  ASSERT_EQ(window.dialogs.shown.size(), 2u);
  EXPECT_EQ(window.dialogs.shown[0].kind, Kind::Message);
  EXPECT_EQ(window.dialogs.shown[0].text, "Connection Failed");
  EXPECT_EQ(window.dialogs.shown[1].kind, Kind::Error);
  EXPECT_EQ(window.dialogs.shown[1].text, "Connection Failed.");

  // A wrong password: refused, signed off, and the mailbox untouched.
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  window.dialogs.shown.clear();
  window.ReceiveAccount("127.0.0.1", proxy->Port(), "alice", "wrong");
  window.Connect();
  EXPECT_EQ(window.dialogs.errors(), Lines{"Authentication failed."});
  EXPECT_EQ(proxy->Commands(), (Lines{"USER alice", "PASS wrong", "QUIT"}));
  EXPECT_FALSE(form.ZnPOP31->Connected);
  EXPECT_EQ(servers->Mailbox("alice").size(), 1u);
  EXPECT_EQ(listrows::Count(form.pophistlist), 0);
}

TEST_F(Receive, AnUnknownHostAnsweredWithAValidOneProceedsWithoutChangingTheField) {
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  Tpopform& form = OpenAsAlice();
  corvane::SetText(form.inHost, "");  // fails the lookup without asking any name server
  window.dialogs.queue(true, "127.0.0.1");

  window.Connect();

  ASSERT_EQ(window.dialogs.shown.size(), 1u);
  EXPECT_EQ(window.dialogs.shown[0].kind, Kind::Input);
  EXPECT_EQ(window.dialogs.shown[0].caption, "Invalid Host!");
  EXPECT_EQ(window.dialogs.shown[0].text, "Specify a new host:");
  EXPECT_EQ(proxy->Commands(), (kLogin + Lines{"CAPA", "UIDL", "RETR 1", "DELE 1"}));
  EXPECT_EQ(corvane::GetText(form.inHost), "");
  EXPECT_EQ(form.ZnPOP31->Host, "127.0.0.1");
  EXPECT_EQ(Rows(form.pophistlist, 1), Lines{"First"});
}

TEST_F(Receive, AUuencodedPartWithoutItsEndLineIsReportedAndStoredAndTheNextMessageKeepsNoFileNames) {
  servers->Deliver("alice", TestData("uuencoded_without_end_line.eml"));
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  Tpopform& form = OpenAsAlice();

  window.Connect();

  EXPECT_EQ(window.dialogs.messages(), Lines{" No end line."});
  EXPECT_TRUE(window.dialogs.errors().empty());
  EXPECT_EQ(ReadBytes(window.Folder() + "notes.txt"), TestData("uuencoded_without_end_line.txt"));
  EXPECT_EQ(proxy->Commands(), (kLogin + Lines{"CAPA", "UIDL", "RETR 1", "RETR 2", "DELE 1", "DELE 2"}));
  EXPECT_EQ(listrows::Count(form.pophistlist), 2);
  // The message after the one with a file shows and stores no file names of its own.
  EXPECT_TRUE(corvane::GetItems(form.popatt).empty());
  const std::string store = ReadBytes(window.Folder() + "mailin.txt");
  const std::string stored = "\t\tattachments\r\n\t\t\tnotes.txt\r\n\tmsg\r\n";
  EXPECT_NE(store.find(stored), std::string::npos) << store;
  EXPECT_TRUE(store.ends_with("\t\tattachments\r\n")) << store;
}

TEST_F(Receive, ClosingTheWindowDuringARetrievalEndsQuietlyAndDeletesNothing) {
  DeliverThree();
  Tpopform& form = OpenAsAlice();
  const auto start = form.ZnPOP31->OnRetrieveStart;
  form.ZnPOP31->OnRetrieveStart = [&](TObject* sender) {
    start(sender);
    if (listrows::Count(form.pophistlist) == 1) form.close();
  };

  window.Connect();

  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_FALSE(form.isVisible());
  const Lines commands = proxy->Commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.rfind("DELE", 0) == 0 || c == "QUIT"; }),
            0);
  EXPECT_EQ(servers->Mailbox("alice").size(), 3u);
}

TEST_F(Receive, ClosingTheWindowWhileTheConnectionIsMadeShowsNothingAndTouchesNoMail) {
  DeliverThree();
  // The user closes the window while the host name is looked up, when there is no
  // connection for Abort to drop yet.
  const auto closeOnLookup = [this](Tpopform& form) {
    corvane::SetText(form.inHost, "localhost");
    const auto resolved = form.ZnPOP31->OnHostResolved;
    form.ZnPOP31->OnHostResolved = [&form, resolved](TObject* sender) {
      resolved(sender);
      form.close();
    };
  };

  // The connect under way is cancelled: nothing reaches the server.
  Tpopform& form = OpenAsAlice();
  closeOnLookup(form);
  window.Connect();
  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_TRUE(proxy->Commands().empty());
  EXPECT_FALSE(form.ZnPOP31->Connected);
  EXPECT_EQ(listrows::Count(form.pophistlist), 0);
  EXPECT_EQ(servers->Mailbox("alice").size(), 3u);

  // A connection that fails after the close shows neither its box nor its failure.
  uint16_t closedPort = 0;
  {
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    closedPort = listener.serverPort();
  }
  Tpopform& again = window.Open();
  window.ReceiveAccount("localhost", closedPort, "alice", "secret");
  closeOnLookup(again);
  window.Connect();
  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_FALSE(again.isVisible());
}

TEST_F(Receive, AnEmptyMailboxOnlyLogsInShowingEachReplyAndASecondConnectLeavesTheSessionAlone) {
  Tpopform& form = OpenAsAlice();
  Lines statuses;
  const auto status = form.ZnPOP31->OnStatus;
  form.ZnPOP31->OnStatus = [&](TObject* sender, const std::string& text) {
    status(sender, text);
    statuses.push_back(form.statusText());
  };

  window.Connect();

  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_EQ(proxy->Commands(), kLogin);
  // Every server reply of the login reaches the status bar, and nothing else does.
  ASSERT_EQ(statuses.size(), 3u);
  for (const std::string& text : statuses) EXPECT_EQ(text.rfind("+OK", 0), 0u) << text;
  EXPECT_EQ(statuses.back(), "+OK 0 0\r\n");
  EXPECT_EQ(form.statusText(), "Connected");
  EXPECT_EQ(form.mailbinder->currentIndex(), 1);

  window.Connect();
  EXPECT_EQ(window.dialogs.errors(), Lines{"Already connected."});
  EXPECT_EQ(proxy->Commands(), kLogin);
  EXPECT_TRUE(form.ZnPOP31->Connected);
  window.Disconnect();
  EXPECT_EQ(proxy->Commands(), kLogin + Lines{"QUIT"});
}

TEST_F(Receive, AFileNamedLikeTheProgramsOwnFilesIsKeptUnderAnotherName) {
  servers->Deliver("alice", TestData("own_file_names.eml"));
  Tpopform& form = OpenAsAlice();

  window.Connect();

  EXPECT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_EQ(corvane::GetItems(form.popatt), (Lines{"corvane_1.ini", "mailbook_1.txt"}));
  // The line end before the delimiter belongs to the delimiter, not to the file.
  EXPECT_EQ(ReadBytes(window.Folder() + "mailbook_1.txt"), "Mallory=mallory@example.net");
  EXPECT_FALSE(std::filesystem::exists(window.Folder() + "corvane.ini"));
  EXPECT_FALSE(std::filesystem::exists(window.Folder() + "mailbook.txt"));

  // The next start finds no accounts and no address book in the message's files.
  Tpopform& again = window.Open();
  EXPECT_EQ(corvane::GetText(again.inHost), "");
  EXPECT_EQ(again.selectaddr->count(), 0);
}

TEST_F(Receive, TheRecordStoredForEachMessageIsWhatItsDisplayFieldsGiveBack) {
  // Leading blanks, a TAB, bytes that are no UTF-8, a line separator and an encoded word
  // in the header; the attachment's notice in the body holds a line break of its own.
  servers->Deliver("alice",
                   "From: =?ISO-8859-1?Q?J=E9r=F4me?= <j@example.org>\r\n"
                   "Subject:   lead \xE2\x80\xA8 sep \xff\r\n"
                   "X-Raw: \xfe\xff bytes\r\n\r\n"
                   "    indented\r\n\r\n\ttab\r\nLatin \xe9 byte\r\nU+2028 \xE2\x80\xA8 inside\r\n"
                   "private \xEF\x9C\x80 use\r\n");
  Tpopform& form = OpenAsAlice();
  for (const char* last : {"", "three_messages/3.eml"}) {
    SCOPED_TRACE(last);
    if (*last) servers->Deliver("alice", TestData(last));
    window.Connect();
    window.Disconnect();
    ASSERT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
    const std::string stored = ReadBytes(window.Folder() + "mailin.txt");
    form.popsaveClick();
    const std::string again = ReadBytes(window.Folder() + "mailin.txt");
    ASSERT_GT(again.size(), stored.size());
    const std::string fromFields = again.substr(stored.size());
    EXPECT_TRUE(stored.ends_with(fromFields)) << fromFields;
    listrows::Select(form.pophistlist, listrows::Count(form.pophistlist) - 1);
    form.Delete1Click();
  }
}

TEST_F(Receive, AVeryLongBodyIsStoredWholeShownInPartAndSavedWhole) {
  std::string message = "From: long@example.org\r\nSubject: long\r\n\r\n";
  std::string whole;
  for (int i = 0; i < 40000; ++i) {
    const std::string line = "line " + std::to_string(i) + " of a text message that goes on and on and on";
    message += line + "\r\n";
    whole += line + "\r\n";
  }
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  servers->Deliver("alice", message);
  Tpopform& form = OpenAsAlice();
  window.Connect();
  window.Disconnect();
  ASSERT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;

  const Lines shown = corvane::GetMemoLines(form.popmsgbody);
  ASSERT_GT(shown.size(), 1000u);
  ASSERT_LT(shown.size(), 40000u);
  EXPECT_EQ(shown.front(), "line 0 of a text message that goes on and on and on");
  EXPECT_EQ(shown.back(), "[" + std::to_string(40000 - shown.size() + 1) +
                              " more lines are not shown here. Save InMessage As writes the whole text.]");
  EXPECT_TRUE(form.popmsgbody->isReadOnly());
  EXPECT_EQ(listrows::Current(form.pophistlist), 1);
  const std::string stored = ReadBytes(window.Folder() + "mailin.txt");
  EXPECT_NE(stored.find("\t\t\tline 39999 of a text message that goes on and on and on\r\n\t\tattachments\r\n"),
            std::string::npos);

  window.dialogs.queue(true, window.Folder() + "saved.txt");
  form.SaveInMessageAs1Click();
  EXPECT_EQ(ReadBytes(window.Folder() + "saved.txt"), whole);
  EXPECT_TRUE(servers->Mailbox("alice").empty());
}

TEST_F(Receive, AfterManyMessagesTheNewestRowIsSelectedAndInView) {
  for (int i = 0; i < 15; ++i)
    servers->Deliver(
        "alice", "From: s" + std::to_string(i) + "@example.org\r\nSubject: n" + std::to_string(i) + "\r\n\r\nbody\r\n");
  Tpopform& form = OpenAsAlice();
  window.Connect();
  window.Disconnect();
  ASSERT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  ASSERT_EQ(listrows::Count(form.pophistlist), 15);
  EXPECT_EQ(listrows::Current(form.pophistlist), 14);
  EXPECT_EQ(listrows::Text(form.pophistlist, 14, 1), "n14");
  const QRect shown = form.pophistlist->visualRect(listrows::At(form.pophistlist, 14));
  EXPECT_TRUE(form.pophistlist->viewport()->rect().contains(shown)) << shown.y();
  EXPECT_FALSE(
      form.pophistlist->viewport()->rect().intersects(form.pophistlist->visualRect(listrows::At(form.pophistlist, 0))));
}

TEST_F(Receive, TheListAndStatusOnDisplayKeepBeingPaintedWhileAMessageIsOnItsWay) {
  servers->Deliver("alice", TestData("three_messages/1.eml"));
  std::string why;
  // A distant server: the message takes about 0.8 s to come, with no row added meanwhile.
  const auto slow = WireProxy::Start(servers->Pop3Port(), {400, 400}, &why);
  ASSERT_TRUE(slow) << why;
  Tpopform& form = window.Open();
  window.ReceiveAccount("127.0.0.1", slow->Port(), "alice", "secret");
  form.mailbinder->setCurrentIndex(1);  // the user watches the inbox

  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter, statusCounter;
  form.pophistlist->viewport()->installEventFilter(&counter);
  auto* status = form.StatusBar1->findChild<QLabel*>("StatusText");
  status->installEventFilter(&statusCounter);
  int paintsAtStart = -1;
  int paintsWhileComing = -1;
  int statusPaintsAtStart = -1;
  int statusPaintsWhileComing = -1;
  const auto start = form.ZnPOP31->OnRetrieveStart;
  form.ZnPOP31->OnRetrieveStart = [&](TObject* sender) {
    paintsAtStart = counter.paints;
    statusPaintsAtStart = statusCounter.paints;
    start(sender);
  };
  const auto end = form.ZnPOP31->OnRetrieveEnd;
  form.ZnPOP31->OnRetrieveEnd = [&](TObject* sender) {
    paintsWhileComing = counter.paints - paintsAtStart;
    statusPaintsWhileComing = statusCounter.paints - statusPaintsAtStart;
    end(sender);
  };

  window.Connect();
  window.Disconnect();
  ASSERT_TRUE(window.dialogs.shown.empty()) << window.dialogs.shown.front().text;
  EXPECT_GE(paintsWhileComing, 2);
  EXPECT_GE(statusPaintsWhileComing, 2);
  EXPECT_EQ(Rows(form.pophistlist, 1), Lines{"First"});
  EXPECT_TRUE(form.pophistlist->updatesEnabled());
  EXPECT_TRUE(status->updatesEnabled());
}
