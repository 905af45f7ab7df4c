// The window as a user sees it: no caption cut, and under a real X server (the test
// registered to run under xvfb-run) the title, the tab icons and the Connect page as the
// screen shows them.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>
#include <functional>

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

TEST_F(RealWindowTest, EveryCaptionFitsAndNoneRunsIntoItsField) {
  w.show();
  for (QLabel* caption : w.findChildren<QLabel*>()) {
    if (caption->objectName() == "StatusText" || caption->objectName() == "Label6") continue;
    EXPECT_GE(caption->width(), caption->sizeHint().width()) << caption->objectName().toStdString();
  }
  const std::pair<QLabel*, QWidget*> rows[] = {
      {w.Label4, w.inHost}, {w.Label11, w.inPassword}, {w.Label16, w.localemail}, {w.Label7, w.selectaddr},
      {w.LBLTO, w.mailto},  {w.Label20, w.outattach},  {w.Label22, w.outsubject}, {w.Label1, w.popatt},
  };
  for (const auto& [caption, field] : rows)
    EXPECT_LE(caption->geometry().right(), field->geometry().left()) << caption->objectName().toStdString();
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
}

}  // namespace
