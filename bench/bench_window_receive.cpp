// The receive path as the user runs it: the real window (offscreen), its Connect button,
// every message retrieved, shown, stored and marked for deletion, then Disconnect.
//
//   bench_window_receive --port P --user U --pass W --dir FOLDER [--host H]
//       Starts the window with FOLDER as its application folder, connects, waits for the
//       retrieval to end, disconnects, and prints one line: messages stored, seconds from
//       the click to the end of QUIT, CPU seconds, and the resident memory before the
//       click and at its peak, and the longest time the window went without answering
//       its event queue. Used by pop3_vs_peers.sh beside the component and the peers.
#include <sys/resource.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "BenchSupport.h"
#include "ScriptedDialogs.h"
#include "corvane.h"

namespace {

using bench::argument;
using bench::memoryKiB;

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ScriptedDialogs dialogs;
  Tpopform window(argument(argc, argv, "--dir", ".") + "/corvane", dialogs);
  window.show();
  window.inHost->setText(QString::fromStdString(argument(argc, argv, "--host", "127.0.0.1")));
  window.inPort->setText(QString::fromStdString(argument(argc, argv, "--port", "110")));
  window.inUserID->setText(QString::fromStdString(argument(argc, argv, "--user")));
  window.inPassword->setText(QString::fromStdString(argument(argc, argv, "--pass")));
  QApplication::processEvents();

  // A timer that should fire every 10 ms: the longest gap between its shots is the longest
  // the window kept the user waiting for an answer to a click or a repaint.
  QTimer heartbeat;
  QElapsedTimer sinceBeat;
  qint64 longestGapNs = 0;
  QObject::connect(&heartbeat, &QTimer::timeout, [&] {
    longestGapNs = std::max(longestGapNs, sinceBeat.nsecsElapsed());
    sinceBeat.restart();
  });
  heartbeat.start(10);
  sinceBeat.start();

  const long startKiB = memoryKiB("VmRSS:");
  const double startCpu = cpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  // The click runs the whole retrieval inside its handler, as it does for the user.
  window.inconnect->click();
  const double received = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  window.indisconnect->click();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpuSeconds() - startCpu;
  longestGapNs = std::max(longestGapNs, sinceBeat.nsecsElapsed());
  heartbeat.stop();

  for (const std::string& error : dialogs.errors()) std::cerr << "error box: " << error << "\n";
  // The sign-off is where the server removes the deleted messages: its share is shown apart.
  std::printf(
      "messages=%d seconds=%.3f cpu_seconds=%.3f start_rss_kib=%ld peak_rss_kib=%ld quit_seconds=%.3f "
      "longest_stall_seconds=%.3f\n",
      window.pophistlist->model()->rowCount(), seconds, cpu, startKiB, memoryKiB("VmHWM:"), seconds - received,
      static_cast<double>(longestGapNs) / 1e9);
  return dialogs.errors().empty() ? 0 : 1;
}
