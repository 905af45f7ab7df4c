#include <QApplication>
#include <QFile>
#include <QPointer>

#include "Dialogs.h"
#include "Glyphs.h"
#include "corvane.h"

namespace {

// Every handler runs through the window's guard; this is the last net under events that
// reach a component without passing a handler, so that no failure crosses the event loop.
class CorvaneApplication : public QApplication {
 public:
  using QApplication::QApplication;
  QPointer<Tpopform> form;

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& failure) {
      if (form) form->showFailure(failure);
    } catch (...) {
      if (form) form->showFailure(std::runtime_error("Unknown failure"));
    }
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  CorvaneApplication app(argc, argv);
  QApplication::setApplicationName("Corvane");
  QApplication::setWindowIcon(GlyphIcon(Glyph::Envelope));
  QtDialogs dialogs;
  Tpopform popform(QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString(), dialogs);
  // Another Corvane runs on this folder's stores: the window said so, and this one ends.
  if (popform.Refused()) return 1;
  dialogs.SetOwner(&popform);
  app.form = &popform;
  popform.show();
  return app.exec();
}
