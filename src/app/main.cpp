#include <QApplication>
#include <QFile>

#include "Dialogs.h"
#include "Glyphs.h"
#include "corvane.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Corvane");
  QApplication::setWindowIcon(GlyphIcon(Glyph::Envelope));
  QtDialogs dialogs;
  Tpopform popform(QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString(), dialogs);
  popform.show();
  return app.exec();
}
