// The window: its controls, start-up, help, About, closing and the error box.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "Exceptions.h"
#include "HelpViewer.h"
#include "ListRows.h"
#include "QtText.h"
#include "ReportList.h"
#include "ScriptedDialogs.h"
#include "ScriptedServer.h"
#include "Streams.h"
#include "ZnSock.h"
#include "corvane.h"

namespace {

using Kind = ScriptedDialogs::Kind;

class WindowTest : public testing::Test {
 protected:
  QTemporaryDir dir;
  std::string folder = dir.path().toStdString() + "/";
  ScriptedDialogs dialogs;
  std::unique_ptr<Tpopform> w = std::make_unique<Tpopform>(folder + "corvane", dialogs);

  void showActive() {
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
  }
};

TEST_F(WindowTest, OpensOnTheInboxPageWithItsTabs) {
  EXPECT_EQ(w->windowTitle(), "Corvane 2");
  ASSERT_EQ(w->mailbinder->count(), 3);
  EXPECT_EQ(w->mailbinder->currentIndex(), 1);
  const QStringList captions{"Connect", "Inbox", "Write Mail"};
  const QList<QWidget*> pages{w->TabSheet1, w->TabSheet2, w->TabSheet4};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(w->mailbinder->tabText(i), captions[i]);
    EXPECT_EQ(w->mailbinder->widget(i), pages[i]);
    EXPECT_FALSE(w->mailbinder->tabIcon(i).isNull());
  }
  EXPECT_EQ(w->ImageList1.size(), 5);
  EXPECT_EQ(w->Label2->text(), "Corvane 2");
  // A first start, without a settings file, suggests setting up from the address.
  EXPECT_EQ(w->statusText(), SetupFlow::kFirstStartHint);
  EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(WindowTest, EveryControlIsFoundByItsName) {
  const char* widgets[] = {
      "mailbinder",   "StatusBar1",    "TabSheet1",    "TabSheet2",  "TabSheet4",     "Label2",      "Label3",
      "GroupBox1",    "Label4",        "Label5",       "Label10",    "Label11",       "inHost",      "inPort",
      "inUserID",     "inPassword",    "insavecheck",  "inconnect",  "indisconnect",  "GroupBox2",   "Label12",
      "Label13",      "Label14",       "Label15",      "Label16",    "outhost",       "outport",     "outuserid",
      "localname",    "localemail",    "outsavecheck", "outconnect", "outdisconnect", "pophistlist", "Label6",
      "popmsgheader", "pophistory",    "popmsgbody",   "Panel2",     "Label1",        "popatt",      "popfrom",
      "popsubject",   "mailreply",     "Panel1",       "Label7",     "selectaddr",    "addnewaddr",  "deladdr",
      "LBLTO",        "mailto",        "addmailto",    "delmailto",  "Label20",       "outattach",   "addatt",
      "delatt",       "Label22",       "outsubject",   "gosend",     "outbody",       "sendhistory", "sendhistlist",
      "MainMenu1",    "receivedpopup", "sendpopup"};
  for (const char* name : widgets) EXPECT_NE(w->findChild<QWidget*>(name), nullptr) << name;
  const char* actions[] = {
      "SaveInMessageAs1", "LoadOutMessage1", "SetupFromAddress1", "N2",        "Exit1",    "Contents1", "N1",
      "About1",           "Delete1",         "DeleteAll1",        "MenuItem1", "MenuItem2"};
  for (const char* name : actions) EXPECT_NE(w->findChild<QAction*>(name), nullptr) << name;
  EXPECT_EQ(w->File1->title(), "&File");
  EXPECT_EQ(w->Exit1->text(), "E&xit");
  EXPECT_EQ(w->Contents1->shortcut(), QKeySequence(Qt::Key_F1));
  EXPECT_EQ(w->inPassword->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(w->popfrom->isHidden());
  EXPECT_TRUE(w->popsubject->isHidden());
  EXPECT_EQ(w->popsubject->text(), "popsubject");
  EXPECT_EQ(w->OpenDialog1.Filter, "Text Files|*.txt|All Files|*.*");
  EXPECT_EQ(w->SaveDialog1.DefaultExt, "txt");
}

TEST_F(WindowTest, FieldsKeepTextsLongerThanALineEditsUsualLimit) {
  const std::string subject(100000, 's');
  corvane::SetText(w->popsubject, subject);
  EXPECT_EQ(corvane::GetText(w->popsubject), subject);
  corvane::SetText(w->selectaddr, subject);
  EXPECT_EQ(corvane::GetText(w->selectaddr), subject);
}

TEST_F(WindowTest, PagesAreArrangedAsTheirTables) {
  showActive();
  w->mailbinder->setCurrentIndex(0);
  // Both groups grew by the rows of secure connections, the login and the sign-in; the
  // server choices and the interval take a little more of the Receive group's.
  EXPECT_EQ(w->GroupBox1->geometry(), QRect(16, 8, 276, 249 + 100 + 105 + 32));
  EXPECT_EQ(w->inPort->pos(), QPoint(89, 58));
  EXPECT_GE(w->inPort->width(), 45);
  EXPECT_EQ(w->outconnect->geometry(), QRect(224, 208, 23, 22));
  EXPECT_EQ(w->inconnect->toolTip(), "Connect to pop server");
  EXPECT_TRUE(w->outdisconnect->toolTip().isEmpty());

  // Inbox: the list on top, the body memo filling the middle, the panel at the bottom;
  // the list covers the header memo.
  w->mailbinder->setCurrentIndex(1);
  const int pageHeight = w->TabSheet2->height();
  EXPECT_EQ(w->pophistlist->geometry().top(), 0);
  EXPECT_EQ(w->pophistlist->height(), 121);
  EXPECT_EQ(w->popmsgbody->geometry().top(), 121);
  EXPECT_EQ(w->Panel2->geometry().bottom(), pageHeight - 1);
  EXPECT_EQ(w->Panel2->height(), 41);
  EXPECT_EQ(w->TabSheet2->childAt(150, 50), w->pophistlist->viewport());
  EXPECT_EQ(w->pophistlist->model()->headerData(0, Qt::Horizontal), "From");
  EXPECT_EQ(w->pophistlist->model()->headerData(1, Qt::Horizontal), "Subject");
  EXPECT_EQ(w->pophistlist->columnWidth(0), 200);

  w->mailbinder->setCurrentIndex(2);
  EXPECT_EQ(w->Panel1->height(), 113);
  EXPECT_EQ(w->sendhistlist->height(), 79);
  EXPECT_EQ(w->sendhistlist->geometry().bottom(), w->TabSheet4->height() - 1);
  EXPECT_EQ(w->sendhistlist->columnWidth(0), 150);
  EXPECT_FALSE(w->sendhistory->isVisible());
}

TEST_F(WindowTest, StatusTextKeepsBytesAndNeverWidensTheWindow) {
  showActive();
  const int width = w->width();
  w->setStatus("+OK " + std::string(2000, 'x') + " \xFF");
  QApplication::processEvents();
  EXPECT_EQ(w->width(), width);
  EXPECT_EQ(w->statusText(), "+OK " + std::string(2000, 'x') + " \xFF");

  // A menu passing its (empty) hints over the bar leaves the status as it was.
  w->setStatus("Connected");
  QStatusTipEvent hint("hint"), none("");
  QApplication::sendEvent(w.get(), &hint);
  QApplication::sendEvent(w.get(), &none);
  EXPECT_EQ(w->statusText(), "Connected");
  EXPECT_TRUE(w->StatusBar1->findChild<QLabel*>("StatusText")->isVisible());
}

TEST_F(WindowTest, F1AnywhereOpensHelpAtTheCorvaneTopic) {
  showActive();
  w->mailbinder->setCurrentIndex(2);
  w->outsubject->setFocus();
  QTest::keyClick(w->outsubject, Qt::Key_F1);
  ASSERT_EQ(dialogs.shown.size(), 2u);
  EXPECT_EQ(dialogs.shown[0].kind, Kind::HelpContents);
  EXPECT_EQ(dialogs.shown[0].text, folder + "Corvane.hlp");
  EXPECT_EQ(dialogs.shown[1].kind, Kind::HelpMacro);
  EXPECT_EQ(dialogs.shown[1].text, "JumpID(\"\",\"Corvane\")");

  // When the viewer could not show the file, no macro is sent to it.
  dialogs.shown.clear();
  dialogs.queue(false);
  w->Contents1->trigger();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].kind, Kind::HelpContents);
}

TEST_F(WindowTest, RightClickSelectsTheRowAndOpensItsListsMenu) {
  showActive();
  for (const char* from : {"a@example.org", "b@example.org"}) {
    corvane::SetText(w->popfrom, from);
    w->popsaveClick();
    corvane::SetText(w->localemail, from);
    w->outsaveClick();
  }
  for (ReportList* list : {w->pophistlist, w->sendhistlist}) {
    w->mailbinder->setCurrentWidget(list == w->pophistlist ? w->TabSheet2 : w->TabSheet4);
    list->selectionModel()->clear();
    QMenu* menu = list == w->pophistlist ? w->receivedpopup : w->sendpopup;
    const QRect row = list->visualRect(listrows::At(list, 1));
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, row.center());
    // Qt raises the context menu from the press's follow-up event.
    QContextMenuEvent request(QContextMenuEvent::Mouse, row.center(), list->viewport()->mapToGlobal(row.center()));
    QApplication::sendEvent(list->viewport(), &request);
    EXPECT_EQ(listrows::Current(list), 1);
    EXPECT_EQ(listrows::Selected(list), std::vector<int>{1});
    EXPECT_TRUE(QTest::qWaitFor([menu] { return menu->isVisible(); }, 2000));
    menu->hide();
  }
  EXPECT_EQ(w->receivedpopup->actions(), (QList<QAction*>{w->Delete1, w->DeleteAll1, w->FetchWhole1}));
  EXPECT_EQ(w->sendpopup->actions(), (QList<QAction*>{w->MenuItem1, w->MenuItem2}));
}

TEST_F(WindowTest, ExitClosesWithoutAQuestion) {
  showActive();
  w->Exit1->trigger();
  EXPECT_FALSE(w->isVisible());
  EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(WindowTest, ExitDuringAPop3SessionDropsItWithoutSigningOff) {
  ScriptedServer server(
      "S: +OK ready\n"
      "C: USER alice\n"
      "S: +OK\n"
      "C: PASS secret\n"
      "S: +OK\n"
      "C: STAT\n"
      "S: +OK 0 0\n"
      "E\n");
  showActive();
  w->inHost->setText("127.0.0.1");
  w->inPort->setText(QString::number(server.Port()));
  w->inUserID->setText("alice");
  w->inPassword->setText("secret");
  w->inconnect->click();
  EXPECT_EQ(w->statusText(), "Connected");
  w->Exit1->trigger();
  EXPECT_FALSE(w->isVisible());
  ASSERT_TRUE(server.WaitFinished());
  EXPECT_EQ(server.Failures(), "");
  EXPECT_EQ(server.Received(), "USER alice\r\nPASS secret\r\nSTAT\r\n");
  EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(WindowTest, AboutShowsOneMessage) {
  w->About1->trigger();
  ASSERT_EQ(dialogs.shown.size(), 1u);
  EXPECT_EQ(dialogs.shown[0].kind, Kind::Message);
  EXPECT_EQ(dialogs.shown[0].text.rfind("Corvane 2\n", 0), 0u);
}

TEST_F(WindowTest, ErrorBoxAddsAFullStopOnlyAfterCharactersThatSortAfterIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"Connection refused", "Connection refused."},
      {"Authentication failed.", "Authentication failed."},
      {"Invalid Host!", "Invalid Host!"},
      {"550 <nobody@example.org>", "550 <nobody@example.org>."},
      {"path/", "path/."},
      {"'x' is not a valid integer value", "'x' is not a valid integer value."},
      {"ends in (brackets)", "ends in (brackets)"},
      {"dash-", "dash-"},
      {"trailing blank ", "trailing blank "},
      {"caf\xC3\xA9", "caf\xC3\xA9."},
      {"", ""},
  };
  for (const auto& [message, shown] : cases) EXPECT_EQ(Tpopform::ErrorBoxText(message), shown) << message;
}

TEST_F(WindowTest, GuardShowsAnyFailureAndLetsTheNextEventRun) {
  EXPECT_FALSE(w->guard([] { throw ESockError("Connection refused"); }));
  EXPECT_FALSE(w->guard([] { throw std::runtime_error("Stopped!"); }));
  EXPECT_FALSE(w->guard([] { throw 42; }));
  EXPECT_TRUE(w->guard([] {}));
  EXPECT_EQ(dialogs.errors(), (std::vector<std::string>{"Connection refused.", "Stopped!", "Unknown failure."}));
}

TEST_F(WindowTest, FailureOutOfATimerTickShowsTheErrorBox) {
  TThreadTimer timer;
  timer.SetInterval(1);
  timer.SetOnTimer([&timer](TObject*) {
    timer.SetEnabled(false);
    throw ESockError("Connection Timed out");
  });
  timer.SetEnabled(true);
  for (int i = 0; i < 200 && dialogs.errors().empty(); ++i) QTest::qWait(5);
  EXPECT_EQ(dialogs.errors(), (std::vector<std::string>{"Connection Timed out."}));
}

// What the next real message box showed; it is then answered with button.
struct BoxSeen {
  QString caption, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  Qt::TextFormat format = Qt::AutoText;
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton byDefault = QMessageBox::NoButton;  // what Enter presses
};

void answerNextBox(BoxSeen& seen, QMessageBox::StandardButton button) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [poll, &seen, button] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    seen = {box->windowTitle(),
            box->text(),
            box->icon(),
            box->textFormat(),
            box->standardButtons(),
            box->standardButton(box->defaultButton())};
    box->button(button)->click();
    poll->deleteLater();
  });
  poll->start(5);
}

TEST(RealDialogs, BoxesCarryTheirCaptionIconAndButtonsAndShowTextAsItIs) {
  QtDialogs dialogs;
  const std::string markup = "<b>550</b> mailbox \xFF unavailable";
  BoxSeen seen;

  answerNextBox(seen, QMessageBox::Ok);
  dialogs.ShowError(markup);
  EXPECT_EQ(seen.caption, "Corvane");
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
  EXPECT_EQ(seen.buttons, QMessageBox::Ok);
  EXPECT_EQ(seen.format, Qt::PlainText);
  EXPECT_EQ(corvane::FromQString(seen.text), markup);

  answerNextBox(seen, QMessageBox::Ok);
  dialogs.ShowMessage("Connection Failed");
  EXPECT_EQ(seen.caption, "Corvane");
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.text, "Connection Failed");

  answerNextBox(seen, QMessageBox::Cancel);
  EXPECT_FALSE(dialogs.Confirm("Connection Required. Connect?", TConfirmButtons::OkCancel));
  EXPECT_EQ(seen.caption, "Confirm");
  EXPECT_EQ(seen.icon, QMessageBox::Question);
  EXPECT_EQ(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
  answerNextBox(seen, QMessageBox::Ok);
  EXPECT_TRUE(dialogs.Confirm("Connection Required. Connect?", TConfirmButtons::OkCancel));

  answerNextBox(seen, QMessageBox::Yes);
  EXPECT_TRUE(dialogs.Confirm("Delete all messages?", TConfirmButtons::YesNo));
  EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
  answerNextBox(seen, QMessageBox::No);
  EXPECT_FALSE(dialogs.Confirm("Delete all messages?", TConfirmButtons::YesNo));
  EXPECT_EQ(seen.byDefault, QMessageBox::Yes);

  // A question whose Yes deletes or trusts leaves Enter on No (or Cancel).
  for (const auto& [buttons, no] : {std::pair{TConfirmButtons::YesNo, QMessageBox::No},
                                    std::pair{TConfirmButtons::OkCancel, QMessageBox::Cancel}}) {
    answerNextBox(seen, no);
    EXPECT_FALSE(dialogs.Confirm("Delete all messages?", buttons, TDefaultAnswer::No));
    EXPECT_EQ(seen.byDefault, no);
  }
}

TEST(HelpFile, OurHelpFileHasTheCorvaneTopic) {
  const std::string path = std::string(CORVANE_SOURCE_DIR) + "/src/app/Corvane.hlp";
  const auto topics = ParseHelpFile(corvane::ReadFile(path));
  ASSERT_FALSE(topics.empty());
  EXPECT_EQ(topics[0].id, "Corvane");
  for (const HelpTopic& topic : topics) EXPECT_FALSE(topic.text.empty()) << topic.id;

  HelpViewer viewer;
  ASSERT_TRUE(viewer.ShowContents(path));
  EXPECT_TRUE(viewer.RunMacro("JumpID(\"\",\"Inbox\")"));
  EXPECT_EQ(viewer.CurrentTopic(), "Inbox");
  EXPECT_TRUE(viewer.RunMacro("JumpID(\"\",\"Corvane\")"));
  EXPECT_EQ(viewer.CurrentTopic(), "Corvane");
  EXPECT_FALSE(viewer.RunMacro("JumpID(\"\",\"NoSuchTopic\")"));
  EXPECT_FALSE(viewer.ShowContents(path + ".missing"));
}

TEST(HelpFile, ParagraphsFlowAndIndentedLinesKeepTheirBreaks) {
  const auto topics = ParseHelpFile(
      "preface\n#topic A\n#title Title A\nfirst\r\nsecond\n\n  one\n  two\nafter\n"
      "#comment\n#topic B\n");
  ASSERT_EQ(topics.size(), 2u);
  EXPECT_EQ(topics[0].title, "Title A");
  EXPECT_EQ(topics[0].text, "first second\n\n  one\n  two\nafter");
  EXPECT_EQ(topics[1].title, "B");
  EXPECT_EQ(topics[1].text, "");
}

TEST(HelpFile, JumpIdMacroParsing) {
  std::string topic;
  EXPECT_TRUE(ParseJumpId("JumpID(\"\",\"Corvane\")", topic));
  EXPECT_EQ(topic, "Corvane");
  EXPECT_TRUE(ParseJumpId(" jumpid(\"x.hlp\", \"Files\") ", topic));
  EXPECT_EQ(topic, "Files");
  EXPECT_FALSE(ParseJumpId("JumpID(\"\")", topic));
  EXPECT_FALSE(ParseJumpId("Contents()", topic));
  EXPECT_FALSE(ParseJumpId("JumpID(\"\",\"open", topic));
}

}  // namespace
