// The window's stores driven through its widgets: inbox, outbox, address book and the
// compose lists, with the files checked byte for byte and reloaded by a restart.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <fstream>
#include <memory>

#include "ListRows.h"
#include "NoFileOpens.h"
#include "QtText.h"
#include "ReportList.h"
#include "ScriptedDialogs.h"
#include "StoreLoader.h"
#include "Streams.h"
#include "SysUtils.h"
#include "corvane.h"

namespace {

using Strings = std::vector<std::string>;

// Runs action while opening any file fails.
void withNoFileOpenable(const std::function<void()>& action) {
  NoFileOpens closed;
  action();
}

class StoresTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  ScriptedDialogs dialogs;
  std::unique_ptr<Tpopform> window;

  std::string path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
  std::string file(const std::string& name) const { return corvane::ReadFile(path(name)); }
  void writeFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }

  // Starts (or restarts) the program in the temporary folder.
  Tpopform& start() {
    window.reset();
    window = std::make_unique<Tpopform>(path("corvane"), dialogs);
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return *window;
  }

  template <typename T>
  T* find(const char* name) const {
    T* widget = window->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  ReportList* list(const char* name) const { return find<ReportList>(name); }
  QComboBox* box(const char* name) const { return find<QComboBox>(name); }
  QPlainTextEdit* memo(const char* name) const { return find<QPlainTextEdit>(name); }
  QLineEdit* edit(const char* name) const { return find<QLineEdit>(name); }
  void click(const char* button) const { QTest::mouseClick(find<QToolButton>(button), Qt::LeftButton); }
  void trigger(const char* action) const { find<QAction>(action)->trigger(); }

  Strings rows(const char* name) const { return listrows::Both(list(name)); }
  void selectRow(const char* name, int row) const {
    ReportList* l = list(name);
    window->mailbinder->setCurrentWidget(window->TabSheet2->isAncestorOf(l) ? window->TabSheet2 : window->TabSheet4);
    l->scrollTo(listrows::At(l, row));
    QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, l->visualRect(listrows::At(l, row)).center());
  }
  void doubleClickRow(const char* name, int row) const {
    selectRow(name, row);
    ReportList* l = list(name);
    QTest::mouseDClick(l->viewport(), Qt::LeftButton, {}, l->visualRect(listrows::At(l, row)).center());
  }

  // What the receive controller puts on display before it stores a message.
  void receive(const std::string& from, const std::string& subject, const Strings& header, const Strings& body,
               const Strings& attachments = {}) {
    corvane::SetText(edit("popfrom"), from);
    corvane::SetText(edit("popsubject"), subject);
    corvane::SetMemoLines(memo("popmsgheader"), header);
    corvane::SetMemoLines(memo("popmsgbody"), body);
    corvane::SetItems(box("popatt"), attachments);
    window->popsaveClick();
  }
  void send(const std::string& subject, const Strings& to, const Strings& body, const Strings& attachments = {}) {
    corvane::SetText(edit("localemail"), "me@example.org");
    corvane::SetText(edit("localname"), "Me Myself");
    corvane::SetText(edit("outsubject"), subject);
    corvane::SetItems(box("mailto"), to);
    corvane::SetItems(box("outattach"), attachments);
    corvane::SetMemoLines(memo("outbody"), body);
    window->outsaveClick();
  }
};

const std::string kFourteen =
    "Received\r\n\tmsg\r\n\t\tFrom\r\n\t\t\tAlice <alice@example.org>\r\n\t\tSubject\r\n\t\t\tHello there\r\n"
    "\t\theader\r\n\t\t\tFrom: Alice <alice@example.org>\r\n\t\t\tfolded: value\r\n"
    "\t\tbody\r\n\t\t\tfirst line\r\n\t\t\t\r\n\t\t\tindented\r\n\t\tattachments\r\n";

TEST_F(StoresTest, ReceivedMessageIsStoredAsFourteenLinesAndReloadedByARestart) {
  start();
  EXPECT_TRUE(dialogs.errors().empty());
  receive("Alice <alice@example.org>", "Hello there", {"From: Alice <alice@example.org>", "  folded: value"},
          {"first line", "", "    indented"});
  EXPECT_EQ(file("mailin.txt"), kFourteen);
  EXPECT_EQ(rows("pophistlist"), Strings{"Alice <alice@example.org>|Hello there"});

  start();
  EXPECT_TRUE(dialogs.errors().empty());
  EXPECT_EQ(rows("pophistlist"), Strings{"Alice <alice@example.org>|Hello there"});
  EXPECT_EQ(file("mailin.txt"), kFourteen);
}

TEST_F(StoresTest, SentMessageIsStoredAsFifteenLinesAndReloadedByARestart) {
  start();
  send("Report", {"ann@example.org", "bob@example.org"}, {"Dear all,", "  see below"});
  EXPECT_EQ(file("mailout.txt"),
            "Send Mail\r\n\tmsg\r\n\t\tFromAddress\r\n\t\t\tme@example.org\r\n\t\tFromName\r\n\t\t\tMe Myself\r\n"
            "\t\tSubject\r\n\t\t\tReport\r\n\t\tToAddress\r\n\t\t\tann@example.org\r\n\t\t\tbob@example.org\r\n"
            "\t\tAttachments\r\n\t\tBody\r\n\t\t\tDear all,\r\n\t\t\tsee below\r\n");
  send(" ", {}, {});  // a blank subject is stored as an empty value
  EXPECT_EQ(rows("sendhistlist"), (Strings{"me@example.org|Report", "me@example.org|"}));
  const std::string before = file("mailout.txt");
  start();
  EXPECT_EQ(rows("sendhistlist"), (Strings{"me@example.org|Report", "me@example.org|"}));
  EXPECT_EQ(file("mailout.txt"), before);
}

TEST_F(StoresTest, DeleteRowsAndDeleteAll) {
  start();
  for (const char* who : {"a", "b", "c"}) receive(who, std::string("s") + who, {}, {"x"});
  for (const char* who : {"a", "b", "c"}) send(who, {who}, {});

  selectRow("pophistlist", 0);
  trigger("Delete1");
  trigger("Delete1");  // nothing is selected after a delete
  EXPECT_EQ(rows("pophistlist"), (Strings{"b|sb", "c|sc"}));
  selectRow("sendhistlist", 1);
  trigger("MenuItem1");
  EXPECT_EQ(rows("sendhistlist"), (Strings{"me@example.org|a", "me@example.org|c"}));
  start();
  EXPECT_EQ(rows("pophistlist"), (Strings{"b|sb", "c|sc"}));
  EXPECT_EQ(rows("sendhistlist"), (Strings{"me@example.org|a", "me@example.org|c"}));

  // No selection: nothing happens.
  list("pophistlist")->clearSelection();
  trigger("Delete1");
  EXPECT_EQ(rows("pophistlist").size(), 2u);

  const std::string inbox = file("mailin.txt");
  dialogs.queue(false);
  trigger("DeleteAll1");
  EXPECT_EQ(file("mailin.txt"), inbox);
  EXPECT_EQ(rows("pophistlist").size(), 2u);
  dialogs.queue(true);
  trigger("DeleteAll1");
  dialogs.queue(true);
  trigger("MenuItem2");
  EXPECT_EQ(dialogs.texts(ScriptedDialogs::Kind::Confirm),
            (Strings{"Delete all messages?", "Delete all messages?", "Delete all messages?"}));
  EXPECT_EQ(dialogs.shown.back().caption, "YesNo");
  EXPECT_TRUE(dialogs.shown.back().defaultNo);
  EXPECT_EQ(file("mailin.txt"), "Received\r\n");
  EXPECT_EQ(file("mailout.txt"), "Send Mail\r\n");
  EXPECT_TRUE(rows("pophistlist").empty());
  EXPECT_TRUE(rows("sendhistlist").empty());
}

TEST_F(StoresTest, DoubleClickReplyAndSaveAsOnTheInbox) {
  start();
  receive("Ann <ann@x>", "First", {"H: 1"}, {"one", "two"}, {"a.bin", "b.txt"});
  receive("Bob <bob@x>", "Second", {"H: 2"}, {"last"});
  doubleClickRow("pophistlist", 0);
  EXPECT_EQ(corvane::GetMemoLines(memo("popmsgbody")), (Strings{"one", "two"}));
  EXPECT_EQ(corvane::GetItems(box("popatt")), (Strings{"a.bin", "b.txt"}));
  EXPECT_EQ(corvane::GetMemoLines(memo("popmsgheader")), Strings{"H: 2"});
  EXPECT_EQ(corvane::GetText(edit("popsubject")), "Second");

  const std::string target = path("saved.txt");
  dialogs.queue(true, target);
  trigger("SaveInMessageAs1");
  EXPECT_EQ(corvane::ReadFile(target), "one\r\ntwo\r\n");
  dialogs.queue(false);
  corvane::SetMemoLines(memo("popmsgbody"), {"changed"});
  trigger("SaveInMessageAs1");
  EXPECT_EQ(corvane::ReadFile(target), "one\r\ntwo\r\n");

  corvane::SetItems(box("outattach"), {"/keep/me"});
  corvane::SetText(edit("outsubject"), "old");
  click("mailreply");
  EXPECT_EQ(window->mailbinder->currentIndex(), 2);
  EXPECT_EQ(corvane::GetItems(box("mailto")), Strings{"Ann <ann@x>"});
  EXPECT_EQ(corvane::GetText(box("mailto")), "Ann <ann@x>");
  EXPECT_EQ(corvane::GetText(edit("outsubject")), "First");
  EXPECT_EQ(corvane::GetMemoLines(memo("outbody")), (Strings{"one", "two"}));
  EXPECT_EQ(corvane::GetItems(box("outattach")), Strings{"/keep/me"});
  EXPECT_TRUE(dialogs.errors().empty());
}

// A click on a column's header sorts the inbox by it (the date by its instant, a row
// without a readable date first); the second click turns the order round. Whatever the
// order, Delete and the double click act on the record the selected row shows.
TEST_F(StoresTest, InboxSortsByEachColumnAndActsOnTheRowShown) {
  start();
  window->activateWindow();  // the Delete key reaches an active window only
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  receive("bob <b@x>", "b", {"Date: Sun, 9 Sep 2001 01:46:40 +0000"}, {"bob's"});
  receive("Alice <a@x>", "c", {"Date: Sat, 8 Sep 2001 23:46:40 -0400 (EDT)"}, {"alice's"});
  receive("carol <c@x>", "a", {"Date: not a date"}, {"carol's"});
  ReportList* inbox = list("pophistlist");
  EXPECT_EQ(inbox->model()->headerData(2, Qt::Horizontal), "Date");
  EXPECT_FALSE(listrows::Text(inbox, 0, 2).empty());
  EXPECT_EQ(listrows::Text(inbox, 2, 2), "");
  const auto clickHeader = [&](int column) {
    QHeaderView* header = inbox->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
  };
  const auto froms = [&] { return listrows::Column(inbox, 0); };
  selectRow("pophistlist", 0);
  clickHeader(0);
  EXPECT_EQ(froms(), (Strings{"Alice <a@x>", "bob <b@x>", "carol <c@x>"}));
  // The first sort keeps the row the user was on and the columns as they were.
  EXPECT_TRUE(inbox->selectionModel()->isRowSelected(1, {}));
  EXPECT_EQ(inbox->RecordOf(inbox->currentIndex()), 0);
  EXPECT_EQ(inbox->columnWidth(0), 200);
  clickHeader(1);
  EXPECT_EQ(froms(), (Strings{"carol <c@x>", "bob <b@x>", "Alice <a@x>"}));
  clickHeader(2);  // Alice's Saturday evening in New York is after bob's Sunday night in London
  EXPECT_EQ(froms(), (Strings{"carol <c@x>", "bob <b@x>", "Alice <a@x>"}));
  clickHeader(2);
  EXPECT_EQ(froms(), (Strings{"Alice <a@x>", "bob <b@x>", "carol <c@x>"}));

  doubleClickRow("pophistlist", 0);
  EXPECT_EQ(corvane::GetMemoLines(memo("popmsgbody")), Strings{"alice's"});
  QTest::keyClick(inbox, Qt::Key_Delete);
  EXPECT_EQ(froms(), (Strings{"bob <b@x>", "carol <c@x>"}));
  EXPECT_EQ(file("mailin.txt").find("alice's"), std::string::npos);
  EXPECT_NE(file("mailin.txt").find("bob's"), std::string::npos);
}

// Moving to an inbox row, by click or by key, shows its message as the double click does;
// moving in the sent list leaves the message being written alone.
TEST_F(StoresTest, ChoosingAnInboxRowShowsItsMessage) {
  start();
  receive("Ann <ann@x>", "First", {"H: 1"}, {"one"}, {"a.bin"});
  receive("Bob <bob@x>", "Second", {"H: 2"}, {"two"});
  send("Sent", {"to@x"}, {"sent body"});
  selectRow("pophistlist", 0);
  EXPECT_EQ(corvane::GetMemoLines(memo("popmsgbody")), Strings{"one"});
  EXPECT_EQ(corvane::GetItems(box("popatt")), Strings{"a.bin"});
  QTest::keyClick(list("pophistlist"), Qt::Key_Down);
  EXPECT_EQ(corvane::GetMemoLines(memo("popmsgbody")), Strings{"two"});
  EXPECT_TRUE(corvane::GetItems(box("popatt")).empty());

  corvane::SetText(edit("outsubject"), "draft");
  selectRow("sendhistlist", 0);
  EXPECT_EQ(corvane::GetText(edit("outsubject")), "draft");
  EXPECT_TRUE(dialogs.errors().empty());
}

// The keys do what the mouse does: Enter shows the row the keys selected, Ctrl+R replies to
// it, Delete removes the selected row of the list with the focus only, F5 and Ctrl+Enter
// press their buttons.
TEST_F(StoresTest, KeysDoWhatTheirControlsDo) {
  start();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  receive("Ann <ann@x>", "First", {"H: 1"}, {"one"});
  receive("Bob <bob@x>", "Second", {"H: 2"}, {"two"});
  receive("Cy <cy@x>", "Third", {"H: 3"}, {"three"});
  send("Sent", {"to@x"}, {"body"});
  window->mailbinder->setCurrentWidget(window->TabSheet2);
  ReportList* inbox = list("pophistlist");
  inbox->setFocus();
  inbox->setCurrentIndex(listrows::At(inbox, 0));
  QTest::keyClick(inbox, Qt::Key_Down);
  QTest::keyClick(inbox, Qt::Key_Return);
  EXPECT_EQ(corvane::GetMemoLines(memo("popmsgbody")), Strings{"two"});
  QTest::keyClick(inbox, Qt::Key_R, Qt::ControlModifier);
  EXPECT_EQ(corvane::GetText(edit("outsubject")), "Second");

  window->mailbinder->setCurrentWidget(window->TabSheet2);
  inbox->setFocus();
  QTest::keyClick(inbox, Qt::Key_Delete);
  EXPECT_EQ(rows("pophistlist"), (Strings{"Ann <ann@x>|First", "Cy <cy@x>|Third"}));
  EXPECT_EQ(rows("sendhistlist").size(), 1u);  // the other list keeps its rows
  selectRow("sendhistlist", 0);
  QTest::keyClick(list("sendhistlist"), Qt::Key_Delete);
  EXPECT_TRUE(rows("sendhistlist").empty());
  EXPECT_EQ(rows("pophistlist").size(), 2u);

  QSignalSpy received(find<QToolButton>("inconnect"), &QToolButton::clicked);
  QSignalSpy sent(find<QToolButton>("gosend"), &QToolButton::clicked);
  dialogs.queue(false);  // whatever a click asks is answered No
  dialogs.queue(false);
  QTest::keyClick(list("sendhistlist"), Qt::Key_F5);
  EXPECT_EQ(received.count(), 1);
  memo("outbody")->setFocus();
  QTest::keyClick(memo("outbody"), Qt::Key_Return, Qt::ControlModifier);
  EXPECT_EQ(sent.count(), 1);
  EXPECT_EQ(corvane::GetMemoLines(memo("outbody")), Strings{"two"});  // no line break typed
}

TEST_F(StoresTest, ALongStoredBodyShowsItsBeginningWhileSaveAsAndSaveKeepItWhole) {
  start();
  Strings body;
  std::string whole;
  for (int i = 0; i < 30000; ++i) {
    body.push_back("line " + std::to_string(i) + " of a body far longer than a memo is made to lay out");
    whole += body.back() + "\r\n";
  }
  ASSERT_GT(whole.size(), corvane::kMemoShownBytes);
  receive("Ann <ann@x>", "Long", {"H: 1"}, body);
  receive("Bob <bob@x>", "Short", {"H: 2"}, {"short"});
  const std::string stored = file("mailin.txt");

  doubleClickRow("pophistlist", 0);
  const Strings shown = corvane::GetMemoLines(memo("popmsgbody"));
  ASSERT_GT(shown.size(), 1u);
  ASSERT_LT(shown.size(), body.size());
  EXPECT_TRUE(std::equal(shown.begin(), shown.end() - 1, body.begin()));
  EXPECT_EQ(shown.back(), "[" + std::to_string(body.size() - shown.size() + 1) +
                              " more lines are not shown here. Save InMessage As writes the whole text.]");
  EXPECT_TRUE(memo("popmsgbody")->isReadOnly());
  EXPECT_TRUE(memo("popmsgbody")->textInteractionFlags() & Qt::TextSelectableByKeyboard);

  dialogs.queue(true, path("saved.txt"));
  trigger("SaveInMessageAs1");
  EXPECT_EQ(file("saved.txt"), whole);
  // Storing the fields again stores the whole body, not what the memo shows.
  window->popsaveClick();
  const auto bodyOf = [](const std::string& records) {
    const size_t start = records.find("\t\tbody\r\n");
    return records.substr(start, records.find("\t\tattachments\r\n", start) - start);
  };
  EXPECT_EQ(bodyOf(file("mailin.txt").substr(stored.size())), bodyOf(stored));
  EXPECT_EQ(
      bodyOf(stored), "\t\tbody\r\n" + [&] {
        std::string lines;
        for (const std::string& line : body) lines += "\t\t\t" + line + "\r\n";
        return lines;
      }());

  // A short body makes the memo whole and editable again.
  doubleClickRow("pophistlist", 1);
  EXPECT_EQ(corvane::GetMemoLines(memo("popmsgbody")), Strings{"short"});
  EXPECT_FALSE(memo("popmsgbody")->isReadOnly());

  // Once rows are deleted the record can no longer be told by its place: Save As says so
  // before it asks for a file, and nothing is written.
  doubleClickRow("pophistlist", 0);
  selectRow("pophistlist", 2);
  trigger("Delete1");
  trigger("SaveInMessageAs1");
  EXPECT_EQ(dialogs.errors(),
            Strings{"Only the beginning of this message is shown, and the inbox store does not hold the rest."});
  EXPECT_TRUE(dialogs.texts(ScriptedDialogs::Kind::Save).size() == 1);
}

TEST_F(StoresTest, SaveAsWritesThroughALinkAndKeepsTheFilesMode) {
  start();
  receive("Ann <ann@x>", "First", {"H: 1"}, {"kept"});
  writeFile("real.txt", "old");
  ASSERT_EQ(::chmod(path("real.txt").c_str(), 0640), 0);
  ASSERT_EQ(::symlink(path("real.txt").c_str(), path("link.txt").c_str()), 0);
  dialogs.queue(true, path("link.txt"));
  trigger("SaveInMessageAs1");
  struct stat link {};
  ASSERT_EQ(::lstat(path("link.txt").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(file("real.txt"), "kept\r\n");
  struct stat real {};
  ASSERT_EQ(::stat(path("real.txt").c_str(), &real), 0);
  EXPECT_EQ(real.st_mode & 07777, 0640u);
  EXPECT_TRUE(dialogs.errors().empty());
}

// After every change the selected row is none or the message on display, and the newest
// row can be seen: Reply never answers a message the user is not reading.
TEST_F(StoresTest, InboxListSelectsTheMessageOnDisplayAndShowsTheNewestRow) {
  start();
  for (int i = 0; i < 3; ++i) receive("Old <old" + std::to_string(i) + "@x>", "Old", {}, {"old"});
  selectRow("pophistlist", 0);
  for (int i = 0; i < 30; ++i) receive("New <new" + std::to_string(i) + "@x>", "New " + std::to_string(i), {}, {"new"});
  ReportList* inbox = list("pophistlist");
  EXPECT_EQ(listrows::Selected(inbox), std::vector<int>{32});
  EXPECT_TRUE(inbox->viewport()->rect().intersects(inbox->visualRect(listrows::At(inbox, 32))));
  click("mailreply");
  EXPECT_EQ(corvane::GetItems(box("mailto")), Strings{"New <new29@x>"});
  EXPECT_EQ(corvane::GetText(edit("outsubject")), "New 29");

  // A restart shows the list anew: nothing selected, the newest row in view.
  start();
  inbox = list("pophistlist");
  EXPECT_TRUE(listrows::Selected(inbox).empty());
  EXPECT_TRUE(inbox->viewport()->rect().intersects(inbox->visualRect(listrows::At(inbox, 32))));

  // The outbox list follows the same rule after a message was sent.
  send("Sent 1", {"a@x"}, {"b"});
  send("Sent 2", {"a@x"}, {"b"});
  EXPECT_EQ(listrows::Selected(list("sendhistlist")), std::vector<int>{1});
}

TEST_F(StoresTest, DoubleClickAndLoadOutMessageOnTheOutbox) {
  start();
  send("Again", {"x@y", "z@y"}, {"body 1", "body 2"}, {"/tmp/a.txt"});
  send(" ", {}, {});
  corvane::SetText(edit("localemail"), "other@example.org");
  corvane::SetText(edit("outsubject"), "kept");
  doubleClickRow("sendhistlist", 1);  // no recipients and an empty subject value
  EXPECT_TRUE(corvane::GetItems(box("mailto")).empty());
  EXPECT_EQ(corvane::GetText(edit("outsubject")), "");
  doubleClickRow("sendhistlist", 0);
  EXPECT_EQ(corvane::GetItems(box("mailto")), (Strings{"x@y", "z@y"}));
  EXPECT_EQ(corvane::GetText(box("mailto")), "x@y");
  EXPECT_EQ(corvane::GetItems(box("outattach")), Strings{"/tmp/a.txt"});
  EXPECT_EQ(corvane::GetMemoLines(memo("outbody")), (Strings{"body 1", "body 2"}));
  EXPECT_EQ(corvane::GetText(edit("outsubject")), "Again");
  EXPECT_EQ(corvane::GetText(edit("localemail")), "other@example.org");

  writeFile("letter.txt", "a\r\nb\nc\rd");
  dialogs.queue(true, path("letter.txt"));
  trigger("LoadOutMessage1");
  EXPECT_EQ(corvane::GetMemoLines(memo("outbody")), (Strings{"a", "b", "c", "d"}));
  EXPECT_EQ(dialogs.shown.back().caption, "Text Files|*.txt|All Files|*.*");
  dialogs.queue(true, path("missing.txt"));
  trigger("LoadOutMessage1");
  EXPECT_EQ(dialogs.errors(), Strings{"Cannot open file " + path("missing.txt") + "."});
  EXPECT_EQ(corvane::GetMemoLines(memo("outbody")), (Strings{"a", "b", "c", "d"}));
}

TEST_F(StoresTest, AnyBytesSurviveStoreRestartAndDisplay) {
  start();
  const Strings body{std::string("nul\0inside", 10), "\xff\xfe raw \x80", "tab\tand\x01", "\xe2\x80\xa8sep",
                     "\xef\x9c\x80private"};
  receive("S\xe9nder", "Subj\x92", {}, body);
  send("x", {"r\xe9@x"}, body);
  start();
  EXPECT_EQ(rows("pophistlist"), Strings{"S\xe9nder|Subj\x92"});
  doubleClickRow("pophistlist", 0);
  EXPECT_EQ(corvane::GetMemoLines(memo("popmsgbody")), body);
  doubleClickRow("sendhistlist", 0);
  EXPECT_EQ(corvane::GetMemoLines(memo("outbody")), body);
  EXPECT_EQ(corvane::GetItems(box("mailto")), Strings{"r\xe9@x"});
}

TEST_F(StoresTest, AddressBookEntriesLookupAndDeletion) {
  start();
  EXPECT_TRUE(window->selectaddr->toolTip().startsWith("Address Book\nEntries shall be in the format:\n"));
  for (const char* entry : {"plain text", "Ann=ann=1@x", "ANN=upper@x"}) {
    corvane::SetText(box("selectaddr"), entry);
    click("addnewaddr");
  }
  EXPECT_EQ(file("mailbook.txt"), "ANN=upper@x\r\nAnn=ann=1@x\r\nplain text\r\n");
  box("selectaddr")->setCurrentIndex(1);  // "Ann" finds the upper entry's address
  click("addmailto");
  box("selectaddr")->setCurrentIndex(2);  // no "=": an empty recipient
  click("addmailto");
  EXPECT_EQ(corvane::GetItems(box("mailto")), (Strings{"upper@x", ""}));
  EXPECT_EQ(corvane::GetText(box("mailto")), "upper@x");

  start();
  EXPECT_EQ(corvane::GetItems(box("selectaddr")), (Strings{"ANN=upper@x", "Ann=ann=1@x", "plain text"}));
  EXPECT_EQ(corvane::GetText(box("selectaddr")), "ANN=upper@x");
  // Text typed over the selection unselects it: nothing is deleted.
  corvane::SetText(box("selectaddr"), "typed");
  click("deladdr");
  EXPECT_EQ(box("selectaddr")->count(), 3);
  for (int i = 0; i < 3; ++i) {
    box("selectaddr")->setCurrentIndex(0);
    click("deladdr");
  }
  EXPECT_EQ(box("selectaddr")->count(), 0);
  EXPECT_EQ(corvane::GetText(box("selectaddr")), "");
  EXPECT_EQ(file("mailbook.txt"), "");
  EXPECT_TRUE(dialogs.errors().empty());
}

TEST_F(StoresTest, RecipientAndAttachmentButtons) {
  start();
  corvane::SetItems(box("mailto"), {"only@x"});
  box("mailto")->setCurrentIndex(0);
  click("delmailto");
  EXPECT_EQ(box("mailto")->count(), 0);
  EXPECT_EQ(corvane::GetText(box("mailto")), "");

  dialogs.queue(true, "/data/first.pdf");
  click("addatt");
  dialogs.queue(false);
  click("addatt");
  EXPECT_EQ(corvane::GetItems(box("outattach")), Strings{"/data/first.pdf"});
  EXPECT_EQ(box("outattach")->currentIndex(), -1);  // adding selects nothing
  box("outattach")->setCurrentIndex(0);
  click("delatt");
  EXPECT_EQ(box("outattach")->count(), 0);
  EXPECT_EQ(corvane::GetText(box("outattach")), "/data/first.pdf");
}

TEST_F(StoresTest, DamagedInboxIsKeptAsideAndTheWindowStaysUsable) {
  const std::string damaged = corvane::ReadFile(std::string(CORVANE_TEST_DATA) + "/stores/damaged_level.txt");
  writeFile("mailin.txt", damaged);
  writeFile("mailbook.txt", "A=a@x\r\n");
  writeFile("mailout.txt", "Send Mail\r\n\tmsg\r\n\t\tFromAddress\r\n\t\t\tme@x\r\n\t\tFromName\r\n\t\tSubject\r\n");
  start();
  // The outbox record lacks its subject value: its file is kept too, its row still shows.
  EXPECT_EQ(dialogs.errors(),
            (Strings{"Invalid level (5) for item \"deep line\"; the store file was kept as " +
                         path("mailin.txt.damaged") + ".",
                     "List index out of bounds (0); the store file was kept as " + path("mailout.txt.damaged") + "."}));
  EXPECT_EQ(file("mailin.txt.damaged"), damaged);
  EXPECT_EQ(rows("pophistlist"), (Strings{"Ada|One", "|"}));
  EXPECT_EQ(rows("sendhistlist"), Strings{"me@x|"});
  EXPECT_EQ(corvane::GetItems(box("selectaddr")), Strings{"A=a@x"});

  receive("New", "Mail", {}, {"b"});
  EXPECT_EQ(rows("pophistlist"), (Strings{"Ada|One", "|", "New|Mail"}));
  EXPECT_EQ(file("mailin.txt.damaged"), damaged);
  // A rebuild over the damaged record shows all rows, then the failure.
  trigger("DeleteAll1");  // answered No by default
  window->guard([&] { window->makepophistClick(); });
  EXPECT_EQ(dialogs.errors().back(), "List index out of bounds (0)");  // ")" sorts before "."
  EXPECT_EQ(rows("pophistlist").size(), 3u);
  selectRow("pophistlist", 1);
  trigger("Delete1");
  EXPECT_EQ(rows("pophistlist"), (Strings{"Ada|One", "New|Mail"}));

  start();  // the repaired inbox loads cleanly; the untouched outbox names its kept copy again
  EXPECT_EQ(rows("pophistlist"), (Strings{"Ada|One", "New|Mail"}));
  EXPECT_EQ(rows("sendhistlist"), Strings{"me@x|"});
  EXPECT_EQ(dialogs.errors().back(),
            "List index out of bounds (0); the store file was kept as " + path("mailout.txt.damaged") + ".");
  EXPECT_FALSE(corvane::FileExists(path("mailin.txt.damaged.1")));
  EXPECT_FALSE(corvane::FileExists(path("mailout.txt.damaged.1")));
}

TEST_F(StoresTest, StoreAndBookThatCouldNotBeReadAreNeverWrittenOver) {
  if (!NoFileOpens::Possible()) GTEST_SKIP() << "the sanitizer's type checks need descriptors of their own";
  writeFile("mailbook.txt", "A=a@x\r\n");
  start();
  receive("Kept", "s", {}, {"b"});
  const std::string inbox = file("mailin.txt");
  withNoFileOpenable([&] {
    window->guard([&] { window->loadInboxStore(); });
    window->guard([&] { window->loadAddressBook(); });
  });
  EXPECT_EQ(dialogs.errors(), (Strings{"Cannot open file " + path("mailin.txt") + ".",
                                       "Cannot open file " + path("mailbook.txt") + "."}));
  window->guard([&] { receive("New", "t", {}, {"c"}); });
  corvane::SetText(box("selectaddr"), "B=b@x");
  click("addnewaddr");
  EXPECT_EQ(file("mailbook.txt"), "A=a@x\r\n");
  box("selectaddr")->setCurrentIndex(1);
  click("deladdr");
  EXPECT_EQ(file("mailbook.txt"), "A=a@x\r\n");
  EXPECT_EQ(dialogs.errors().size(), 5u);
  EXPECT_EQ(dialogs.errors().back(), "Cannot create file " + path("mailbook.txt") + ".");
  EXPECT_EQ(file("mailin.txt"), inbox);

  start();
  EXPECT_EQ(rows("pophistlist"), Strings{"Kept|s"});
  corvane::SetText(box("selectaddr"), "B=b@x");
  click("addnewaddr");
  EXPECT_EQ(file("mailbook.txt"), "B=b@x\r\nA=a@x\r\n");
}

TEST_F(StoresTest, FailedSaveKeepsTheRecordAndTheNextSaveWritesIt) {
  if (!NoFileOpens::Possible()) GTEST_SKIP() << "the sanitizer's type checks need descriptors of their own";
  start();
  receive("a", "sa", {}, {"x"});
  send("a", {"a@x"}, {});
  withNoFileOpenable([&] {
    window->guard([&] { receive("b", "sb", {}, {"y"}); });
    window->guard([&] { send("b", {"b@x"}, {}); });
  });
  EXPECT_EQ(dialogs.errors(), (Strings{"Cannot create file " + path("mailin.txt") + ".",
                                       "Cannot create file " + path("mailout.txt") + "."}));
  // The inbox list waits for a successful save; the outbox list was rebuilt before it.
  EXPECT_EQ(rows("pophistlist"), Strings{"a|sa"});
  EXPECT_EQ(rows("sendhistlist"), (Strings{"me@example.org|a", "me@example.org|b"}));

  receive("c", "sc", {}, {"z"});
  send("c", {"c@x"}, {});
  EXPECT_EQ(rows("pophistlist"), (Strings{"a|sa", "b|sb", "c|sc"}));
  start();
  EXPECT_EQ(rows("pophistlist"), (Strings{"a|sa", "b|sb", "c|sc"}));
  EXPECT_EQ(rows("sendhistlist"), (Strings{"me@example.org|a", "me@example.org|b", "me@example.org|c"}));
}

// A store another program wrote, with no index beside it and larger than is read at once.
std::string largeInbox(int records, Strings& rowsOut) {
  std::string file = "Received\r\n";
  for (int i = 0; i < records; ++i) {
    const std::string n = std::to_string(i);
    file += "\tmsg\r\n\t\tFrom\r\n\t\t\tSender " + n + "\r\n\t\tSubject\r\n\t\t\tSubject " + n +
            "\r\n\t\theader\r\n\t\t\tDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\t\tbody\r\n";
    for (int line = 0; line < 100; ++line)
      file += "\t\t\tbody line " + std::to_string(line) + " of message " + n + "\r\n";
    file += "\t\tattachments\r\n";
    rowsOut.push_back("Sender " + n + "|Subject " + n);
  }
  return file;
}

TEST_F(StoresTest, AStoreWithoutItsIndexIsReadBehindAProgressBarAndWaitedForWhenNeeded) {
  Strings expected;
  const std::string inbox = largeInbox(400, expected);
  ASSERT_GT(inbox.size(), 1u << 20);  // deletions go to the background too
  writeFile("mailin.txt", inbox);
  const int64_t before = StoreLoader::SetWorkerAbove(0);
  struct Restore {
    int64_t bytes;
    ~Restore() { StoreLoader::SetWorkerAbove(bytes); }
  } restore{before};

  // The window comes up at once; its list fills when the reading is done.
  window = std::make_unique<Tpopform>(path("corvane"), dialogs);
  QProgressBar* bar = find<QProgressBar>("storeprogress");
  EXPECT_FALSE(bar->isHidden());
  EXPECT_TRUE(bar->text().startsWith("Indexing mailin.txt")) << bar->text().toStdString();
  EXPECT_TRUE(rows("pophistlist").empty());
  EXPECT_TRUE(QTest::qWaitFor([&] { return rows("pophistlist").size() == expected.size(); }, 20000));
  EXPECT_EQ(rows("pophistlist"), expected);
  EXPECT_TRUE(bar->isHidden());
  EXPECT_TRUE(corvane::FileExists(path("mailin.txt.index")));

  // A message stored while the store is still being read waits for the reading, then goes last.
  corvane::WriteFileAtomically(path("mailin.txt"), inbox);  // a new file: its index no longer fits
  window.reset();
  window = std::make_unique<Tpopform>(path("corvane"), dialogs);
  EXPECT_FALSE(find<QProgressBar>("storeprogress")->isHidden());
  receive("New", "Mail", {}, {"b"});
  expected.push_back("New|Mail");
  EXPECT_EQ(rows("pophistlist"), expected);
  EXPECT_EQ(file("mailin.txt"), inbox +
                                    "\tmsg\r\n\t\tFrom\r\n\t\t\tNew\r\n\t\tSubject\r\n\t\t\tMail\r\n"
                                    "\t\theader\r\n\t\tbody\r\n\t\t\tb\r\n\t\tattachments\r\n");

  // With its index the store is there at once; a deletion shows at once and reaches the
  // file in the background.
  start();
  EXPECT_TRUE(find<QProgressBar>("storeprogress")->isHidden());
  EXPECT_EQ(rows("pophistlist").size(), expected.size());
  selectRow("pophistlist", 0);
  trigger("Delete1");
  expected.erase(expected.begin());
  EXPECT_EQ(rows("pophistlist"), expected);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !file("mailin.txt").starts_with(inbox.substr(0, 40)); }, 20000));
  EXPECT_EQ(file("mailin.txt").find("Sender 0\r\n"), std::string::npos);
  EXPECT_TRUE(dialogs.errors().empty());
}

}  // namespace
