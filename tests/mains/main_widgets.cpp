// Test main for the window: widgets run on the offscreen platform unless told otherwise.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationName("Corvane");
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
