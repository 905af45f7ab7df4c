// The window as a user sees it: no caption cut, and under a real X server (the test
// registered to run under xvfb-run) the title, the tab icons and the Connect page as the
// screen shows them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <functional>

#include "Dialogs.h"
#include "ScriptedDialogs.h"
#include "corvane.h"

namespace {

int countPixels(const QImage& image, const QRect& area, const std::function<bool(const QColor&)>& match) {
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (match(image.pixelColor(x, y))) ++count;
  return count;
}

// Pixels of clear colour, as the glyphs have and text and frames have not.
int colouredPixels(const QImage& image, const QRect& area) {
  return countPixels(image, area, [](const QColor& c) {
    return std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) > 80;
  });
}

int pixelsOf(const QImage& image, const QRect& area, const QColor& colour) {
  return countPixels(image, area, [&colour](const QColor& c) { return c.rgb() == colour.rgb(); });
}

class RealWindowTest : public testing::Test {
 protected:
  QTemporaryDir dir;
  ScriptedDialogs dialogs;
  Tpopform w{dir.path().toStdString() + "/corvane", dialogs};
};

// The faces the window asks for, as the test command installs them; a run with only DejaVu
// (CORVANE_TEST_FONTS=dejavu) checks that the layout still holds with wider faces.
struct ExpectedFaces {
  QString sans, serif, package;
};
ExpectedFaces expectedFaces() {
  if (qgetenv("CORVANE_TEST_FONTS") == "dejavu") return {"DejaVu Sans", "DejaVu Serif", "fonts-dejavu-core"};
  return {"Liberation Sans", "Liberation Serif", "fonts-liberation"};
}

// The window's own faces are the ones the layout was checked with: a missing font shows
// here, by name, rather than as captions running into their fields.
TEST_F(RealWindowTest, WindowGetsTheFontsTheTestCommandInstalls) {
  const ExpectedFaces faces = expectedFaces();
  EXPECT_EQ(QFontInfo(w.Label4->font()).family(), faces.sans)
      << "the window font is not " << faces.sans.toStdString() << ": install the Debian package "
      << faces.package.toStdString() << " (scripts/deps does)";
  EXPECT_EQ(QFontInfo(w.Label2->font()).family(), faces.serif)
      << "the title font is not " << faces.serif.toStdString() << ": install the Debian package "
      << faces.package.toStdString() << " (scripts/deps does)";
}

// True when the whole text of a line edit shows at once, without scrolling.
bool showsWhole(QLineEdit* field) {
  field->setCursorPosition(field->text().size());
  // The edit finds its scroll offset while it paints.
  field->repaint();
  return field->cursorPositionAt(QPoint(field->contentsRect().left() + 1, field->height() / 2)) == 0;
}

TEST_F(RealWindowTest, EveryCaptionFitsAndNoneRunsIntoItsField) {
  w.show();
  for (int page = 0; page < w.mailbinder->count(); ++page) {
    w.mailbinder->setCurrentIndex(page);
    QApplication::processEvents();
    for (QLabel* caption : w.findChildren<QLabel*>()) {
      // The status text is cut at the bar's edge on purpose; "Message Body" lies under the list.
      if (!caption->isVisible() || caption->objectName() == "StatusText" || caption->objectName() == "Label6") continue;
      const std::string name = caption->objectName().toStdString();
      EXPECT_GE(caption->width(), caption->sizeHint().width()) << name;
      EXPECT_TRUE(caption->parentWidget()->rect().contains(caption->geometry())) << name << " leaves its group";
      for (QWidget* other : caption->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (other == caption || !other->isVisible()) continue;
        EXPECT_FALSE(other->geometry().intersects(caption->geometry()))
            << name << " runs into " << other->objectName().toStdString();
      }
    }
  }
  for (QGroupBox* box : {w.GroupBox1, w.GroupBox2})
    for (QWidget* field : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      EXPECT_TRUE(box->rect().contains(field->geometry())) << field->objectName().toStdString();
  EXPECT_LE(w.GroupBox1->geometry().right(), w.GroupBox2->geometry().left());
  EXPECT_TRUE(w.TabSheet1->rect().contains(w.GroupBox2->geometry()));
  EXPECT_TRUE(w.TabSheet1->rect().contains(w.Label3->geometry()));
}

TEST_F(RealWindowTest, FiveDigitPortsAndDefaultsShowWhole) {
  w.show();
  w.mailbinder->setCurrentIndex(0);
  QApplication::processEvents();
  for (QLineEdit* port : {w.inPort, w.outport}) {
    EXPECT_TRUE(showsWhole(port)) << port->objectName().toStdString() << " cuts its default";
    port->setText("65535");
    EXPECT_TRUE(showsWhole(port)) << port->objectName().toStdString() << " cuts 65535";
  }
}

TEST_F(RealWindowTest, MessageBoxesAreCentredOnTheWindow) {
  QtDialogs real;
  real.SetOwner(&w);
  w.move(40, 30);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QPoint boxCentre;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    boxCentre = box->frameGeometry().center();
    box->button(QMessageBox::Ok)->click();
  });
  poll.start(5);
  real.ShowError("Connection refused.");
  const QPoint windowCentre = w.frameGeometry().center();
  // Qt lifts a box a little above the exact middle; the screen's middle is far off.
  EXPECT_LE(std::abs(boxCentre.x() - windowCentre.x()), w.width() / 8);
  EXPECT_LE(std::abs(boxCentre.y() - windowCentre.y()), w.height() / 8)
      << "box at " << boxCentre.x() << "," << boxCentre.y() << ", window at " << windowCentre.x() << ","
      << windowCentre.y();
}

TEST_F(RealWindowTest, GroupFramesRunAboveTheFirstFieldsAndKeepTheWindowFont) {
  w.show();
  w.mailbinder->setCurrentIndex(0);
  for (QGroupBox* box : {w.GroupBox1, w.GroupBox2}) {
    const QImage image = box->grab().toImage();
    const QColor ground = box->palette().color(QPalette::Window);
    // The top line of the frame, found right of the caption and of every field.
    const int x = box->width() - 12;
    int line = 0;
    while (line < image.height() && ground.lightness() - image.pixelColor(x, line).lightness() < 12) ++line;
    ASSERT_LT(line, image.height()) << box->objectName().toStdString();
    for (QWidget* field : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      EXPECT_GT(field->y(), line) << field->objectName().toStdString();
      EXPECT_EQ(field->font().family(), w.font().family()) << field->objectName().toStdString();
      EXPECT_EQ(field->font().pixelSize(), 14) << field->objectName().toStdString();
    }
  }
}

TEST_F(RealWindowTest, ScreenShowsTitleTabIconsAndTheConnectPage) {
  if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server: runs under xvfb-run";
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_EQ(w.windowHandle()->title(), "Corvane 2");
  w.mailbinder->setCurrentIndex(0);

  QImage shot;
  const auto grabbed = [&] {
    QApplication::processEvents();
    shot = QGuiApplication::primaryScreen()->grabWindow(w.winId()).toImage();
    return pixelsOf(shot, QRect(w.inHost->mapTo(&w, QPoint(0, 0)), w.inHost->size()), QColor(192, 220, 192)) > 500;
  };
  // The fields' green ground tells that the Connect page has reached the screen.
  ASSERT_TRUE(QTest::qWaitFor(grabbed, 5000));

  const QTabBar* tabs = w.mailbinder->tabBar();
  for (int i = 0; i < 3; ++i) {
    const QRect tab(tabs->mapTo(&w, tabs->tabRect(i).topLeft()), tabs->tabRect(i).size());
    EXPECT_GT(colouredPixels(shot, tab), 15) << "tab " << i << " shows no icon";
  }
  // The two account groups side by side, the title under them.
  const QRect receive(w.GroupBox1->mapTo(&w, QPoint(0, 0)), w.GroupBox1->size());
  const QRect send(w.GroupBox2->mapTo(&w, QPoint(0, 0)), w.GroupBox2->size());
  const QRect title(w.Label2->mapTo(&w, QPoint(0, 0)), w.Label2->size());
  EXPECT_LT(receive.right(), send.left());
  EXPECT_EQ(receive.top(), send.top());
  EXPECT_GT(title.top(), receive.bottom());
  EXPECT_TRUE(shot.rect().contains(title));
  // The title is drawn in navy.
  EXPECT_GT(pixelsOf(shot, title, QColor(0, 0, 128)), 50);

  // For a person's look: CORVANE_SCREENSHOTS names a folder for the three pages as shown.
  const QString folder = qEnvironmentVariable("CORVANE_SCREENSHOTS");
  if (folder.isEmpty()) return;
  for (int page = 0; page < w.mailbinder->count(); ++page) {
    w.mailbinder->setCurrentIndex(page);
    QTest::qWait(50);
    const QString name = QString("%1/page%2-%3.png").arg(folder).arg(page).arg(QFontInfo(w.font()).family());
    EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(w.winId()).save(name)) << name.toStdString();
  }
}

// True when the siblings stacked above control hide all of it that its parent shows, as
// the inbox list hides Label6 and popmsgheader: nothing of it shows to be cut.
bool covered(const QWidget* control) {
  const QObjectList& siblings = control->parentWidget()->children();
  QRegion shown(control->geometry() & control->parentWidget()->rect());
  for (qsizetype i = siblings.indexOf(control) + 1; i < siblings.size(); ++i)
    if (const auto* above = qobject_cast<const QWidget*>(siblings[i]); above && above->isVisible())
      shown -= above->geometry();
  return shown.isEmpty();
}

// The window's own controls that show on its current page, by name.
QList<QWidget*> shownControls(QWidget* page) {
  QList<QWidget*> shown;
  for (QWidget* control : page->findChildren<QWidget*>())
    if (!control->objectName().isEmpty() && control->isVisible() && !covered(control)) shown << control;
  return shown;
}

// The splitter's handle takes no room: its grab area lies over the edges of the inbox list
// and the body. (Label6 and popmsgheader lie under the list, which covers them whole.)
const QStringList kMayOverlap{"qt_splithandle_"};

// However small or large the window is made, every control of each page lies whole inside
// its parent and the window and none runs into a sibling. Each page is saved as a PNG
// beside the test (screens/) for a person to look at.
TEST_F(RealWindowTest, NoControlIsCutOffOrOverlappedAtTheSmallestAndALargeSize) {
  struct Size {
    const char* name;
    QSize asked;  // the smallest: the window refuses to shrink as far
  };
  const QString fonts = qEnvironmentVariable("CORVANE_TEST_FONTS", "installed");
  QDir().mkpath("screens");
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  for (const Size& size : {Size{"smallest", {100, 100}}, Size{"large", {1600, 1200}}}) {
    w.resize(size.asked);
    QApplication::processEvents();
    if (size.asked.width() < 200) {
      EXPECT_GT(w.width(), 200);
    }
    for (int index = 0; index < w.mailbinder->count(); ++index) {
      SCOPED_TRACE(testing::Message() << size.name << " page " << index);
      w.mailbinder->setCurrentIndex(index);
      QApplication::processEvents();
      const QList<QWidget*> shown = shownControls(w.mailbinder->widget(index));
      for (QWidget* control : shown) {
        const std::string name = control->objectName().toStdString();
        EXPECT_TRUE(control->parentWidget()->rect().contains(control->geometry())) << name;
        EXPECT_TRUE(w.rect().contains(QRect(control->mapTo(&w, QPoint(0, 0)), control->size()))) << name;
        for (QWidget* other : shown) {
          if (other == control || other->parentWidget() != control->parentWidget()) continue;
          if (kMayOverlap.contains(name.c_str()) || kMayOverlap.contains(other->objectName())) continue;
          EXPECT_FALSE(control->geometry().intersects(other->geometry()))
              << name << " runs into " << other->objectName().toStdString();
        }
      }
      const QString file =
          QString("screens/%1-%2-%3-page%4.png").arg(QGuiApplication::platformName(), fonts, size.name).arg(index);
      EXPECT_TRUE(w.grab().save(file)) << file.toStdString();
    }
  }
}

}  // namespace
