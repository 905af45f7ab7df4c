// The window from the keyboard and from a screen reader's side: Tab order on each page,
// the glyph buttons within reach, a name for every control that can take the focus.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <memory>

#include "ReportList.h"
#include "ScriptedDialogs.h"
#include "corvane.h"

namespace {

class AccessTest : public testing::Test {
 protected:
  QTemporaryDir dir;
  ScriptedDialogs dialogs;
  std::unique_ptr<Tpopform> w = std::make_unique<Tpopform>(dir.path().toStdString() + "/corvane", dialogs);

  void showActive() {
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
  }
  QWidget* page(int index) const { return w->mailbinder->widget(index); }
};

struct PageWalk {
  int page;
  QStringList order;  // objectNames, from the first control on
};

// The classic tab stops keep their order; each glyph button follows the field it acts
// on. inSignIn is disabled while the password signs in; hidden controls are skipped.
const PageWalk kWalks[] = {
    {0, {"inHost",      "inPort",         "inUserID",        "inPassword", "inSecurity",
         "insavecheck", "inconnect",      "indisconnect",    "inLogin",    "inAllowPlainLogin",
         "inOnServer",  "inLargeKB", "inCheckMinutes", "outhost",         "outport",    "outuserid",
         "localname",   "localemail",     "outsavecheck",    "outconnect", "outdisconnect",
         "outSecurity", "outAuthUser",    "outAuthPassword", "outLogin",   "outAllowPlainLogin",
         "keyringcheck"}},
    {1, {"popmsgbody", "popatt", "mailreply", "pophistlist"}},
    {2,
     {"mailto", "addmailto", "delmailto", "outattach", "addatt", "delatt", "outsubject", "gosend", "selectaddr",
      "addnewaddr", "deladdr", "outbody", "sendhistlist"}},
};

TEST_F(AccessTest, TabWalksEveryControlOfEachPageInReadingOrder) {
  showActive();
  for (const PageWalk& walk : kWalks) {
    SCOPED_TRACE(walk.page);
    w->mailbinder->setCurrentIndex(walk.page);
    QWidget* first = page(walk.page)->findChild<QWidget*>(walk.order.first());
    ASSERT_NE(first, nullptr);
    first->setFocus();
    QStringList walked{QApplication::focusWidget()->objectName()};
    // Bounded: one Tab per expected control, then one that must leave the page.
    for (qsizetype i = 1; i <= walk.order.size(); ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QWidget* now = QApplication::focusWidget();
      if (!now || !page(walk.page)->isAncestorOf(now)) break;
      walked << now->objectName();
    }
    EXPECT_EQ(walked, walk.order);
  }
}

TEST_F(AccessTest, GlyphButtonsShowWhereTheFocusIs) {
  showActive();
  w->mailbinder->setCurrentIndex(2);
  w->outsubject->setFocus();
  const QImage before = w->gosend->grab().toImage();
  QTest::keyClick(w->outsubject, Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), w->gosend);
  EXPECT_NE(w->gosend->grab().toImage(), before);
  // A click does not take the focus from the field being typed in.
  w->outsubject->setFocus();
  QTest::mouseClick(w->gosend, Qt::LeftButton);
  EXPECT_EQ(QApplication::focusWidget(), w->outsubject);
}

TEST_F(AccessTest, EveryControlThatTakesTheFocusHasAName) {
  showActive();
  for (int index = 0; index < w->mailbinder->count(); ++index) {
    w->mailbinder->setCurrentIndex(index);
    for (QWidget* control : page(index)->findChildren<QWidget*>()) {
      if (!control->isVisibleTo(page(index)) || !(control->focusPolicy() & Qt::TabFocus) || control->focusProxy())
        continue;
      QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(control);
      ASSERT_NE(spoken, nullptr) << control->objectName().toStdString();
      EXPECT_FALSE(spoken->text(QAccessible::Name).isEmpty()) << control->objectName().toStdString();
    }
  }
}

// The letter a caption marks with "&", or 0.
QChar mnemonicOf(const QString& text) {
  const qsizetype at = text.indexOf('&');
  return at >= 0 && at + 1 < text.size() ? text[at + 1].toLower() : QChar();
}

// Alt and a letter reach one control of the page: no two captions (nor a menu of the menu
// bar) share a letter, every caption of a field has one, and it moves to that field.
TEST_F(AccessTest, MnemonicsDifferOnEachPageAndReachTheirFields) {
  showActive();
  QStringList menus;
  for (const QAction* menu : w->menuBar()->actions()) menus << QString(mnemonicOf(menu->text()));
  for (int index = 0; index < w->mailbinder->count(); ++index) {
    SCOPED_TRACE(index);
    w->mailbinder->setCurrentIndex(index);
    QStringList taken = menus;
    for (QWidget* caption : page(index)->findChildren<QWidget*>()) {
      QString text;
      if (auto* label = qobject_cast<QLabel*>(caption)) text = label->text();
      if (auto* button = qobject_cast<QAbstractButton*>(caption)) text = button->text();
      const QChar letter = mnemonicOf(text);
      auto* label = qobject_cast<QLabel*>(caption);
      if (label && label->buddy() && label->buddy()->isVisibleTo(page(index))) {
        EXPECT_FALSE(letter.isNull()) << text.toStdString();
      }
      if (letter.isNull() || !caption->isVisibleTo(page(index))) continue;
      EXPECT_FALSE(taken.contains(QString(letter))) << text.toStdString();
      taken << QString(letter);
      if (!label || !label->buddy() || !label->buddy()->isEnabled()) continue;
      QTest::keyClick(w.get(), letter.toLatin1(), Qt::AltModifier);
      EXPECT_EQ(QApplication::focusWidget(), label->buddy()) << text.toStdString();
    }
  }
}

// Drags the border between the inbox list and the body by dy pixels, as the mouse does.
void dragSplitter(QSplitter* splitter, int dy) {
  QWidget* handle = splitter->handle(1);
  const QPoint from = handle->rect().center();
  QTest::mousePress(handle, Qt::LeftButton, {}, from);
  QTest::mouseMove(handle, from + QPoint(0, dy));
  QTest::mouseRelease(handle, Qt::LeftButton, {}, from + QPoint(0, dy));
}

// The list keeps its height when the window grows and the body takes the room; the border
// between them moves either way, never so far that the list loses its header and two
// rows, and list and body always fill the space between them.
TEST_F(AccessTest, TheBorderBetweenInboxListAndBodyMovesAndALargerWindowGoesToTheBody) {
  showActive();
  w->mailbinder->setCurrentIndex(1);
  QSplitter* splitter = w->inboxsplitter;
  const auto filled = [&] {
    EXPECT_EQ(w->popmsgbody->geometry().top(), w->pophistlist->geometry().bottom() + 1);
    EXPECT_EQ(w->pophistlist->height() + w->popmsgbody->height(), splitter->height());
  };
  const int body = w->popmsgbody->height();
  w->resize(w->width() + 200, w->height() + 300);
  QApplication::processEvents();
  EXPECT_EQ(w->pophistlist->height(), 121);
  EXPECT_EQ(w->popmsgbody->height(), body + 300);
  filled();

  // The handle's grab area reaches two pixels into each side: the first drag may move
  // the border by that much less.
  dragSplitter(splitter, 100);
  EXPECT_NEAR(w->pophistlist->height(), 221, 2);
  filled();

  dragSplitter(splitter, -1000);
  const int row = w->pophistlist->fontMetrics().height();
  EXPECT_GE(w->pophistlist->viewport()->height(), 2 * row);
  EXPECT_TRUE(w->pophistlist->header()->isVisible());
  filled();
  dragSplitter(splitter, 5000);
  EXPECT_GT(w->popmsgbody->height(), 0);
  filled();
}

}  // namespace
