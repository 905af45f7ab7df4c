// The send path as the user runs it: the real window (offscreen), a message to many
// recipients written on the Write Mail page, Connect clicked on the send group, then the
// paper plane, then Disconnect.
//
//   bench_window_send --port P --recipients K --auth-user U --auth-pass W --dir FOLDER
//       Prints one line: the seconds from the click on Connect until the message is
//       recorded as sent (connect, EHLO, login, envelope, data and the server's acceptance),
//       the whole session with QUIT, and how many messages the sent list holds.
#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "QtText.h"
#include "ScriptedDialogs.h"
#include "corvane.h"

using bench::argument;

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ScriptedDialogs dialogs;
  Tpopform window(argument(argc, argv, "--dir", ".") + "/corvane", dialogs);
  window.show();
  QApplication::processEvents();  // the start-up fills the fields first
  corvane::SetText(window.outhost, argument(argc, argv, "--host", "127.0.0.1"));
  corvane::SetText(window.outport, argument(argc, argv, "--port", "25"));
  corvane::SetText(window.outuserid, "bench");
  corvane::SetText(window.localemail, "ann@example.org");
  corvane::SetText(window.outAuthUser, argument(argc, argv, "--auth-user"));
  corvane::SetText(window.outAuthPassword, argument(argc, argv, "--auth-pass"));
  std::vector<std::string> to;
  for (int i = 1, n = std::stoi(argument(argc, argv, "--recipients", "100")); i <= n; ++i)
    to.push_back("rcpt" + std::to_string(i) + "@example.org");
  corvane::SetItems(window.mailto, to);
  corvane::SetText(window.outsubject, "To many");
  corvane::SetMemoLines(window.outbody, {"Hi"});
  QApplication::processEvents();

  const auto start = std::chrono::steady_clock::now();
  // Each click runs its whole dialogue inside its handler, as it does for the user.
  window.outconnect->click();
  window.gosend->click();
  const double sent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  window.outdisconnect->click();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  for (const std::string& error : dialogs.errors()) std::cerr << "error box: " << error << "\n";
  std::printf("sent_messages=%d accepted=%.3f seconds=%.3f\n", window.sendhistlist->model()->rowCount(), sent, seconds);
  return dialogs.errors().empty() ? 0 : 1;
}
