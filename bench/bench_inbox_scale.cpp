// The window over a large inbox, as the user meets it: the real window (offscreen) in a
// folder holding a store "mailin.txt" of many messages, each with 12 header lines.
//
//   bench_inbox_scale generate DIR COUNT BODYLINES
//       Writes DIR/mailin.txt: COUNT messages of BODYLINES body lines, and nothing else.
//   bench_inbox_scale startup DIR COUNT [--cold]
//       Starts the window and prints the seconds from the program's start and from the
//       window's construction to the list shown with all COUNT rows, and the memory the
//       window added (resident, KiB). --cold first drops the store from the page cache.
//   bench_inbox_scale operations DIR COUNT
//       Then opens (double click), deletes and stores one message five times each, as the
//       user does, and prints the median and longest time each took to answer (its handler
//       and the paint after it); then how long the deletions took to reach the file and
//       the longest the window did not answer meanwhile, and the time it took to close.
// The program ends without tearing the window down after startup, as a program killed
// right after its start would. Only the window's public controls and handlers are used,
// so the same source builds against an older Corvane for a comparison (inbox_scale.sh).
#include <fcntl.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "QtText.h"
#include "ScriptedDialogs.h"
#include "corvane.h"

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What a message of the store looks like in the file, written a few megabytes at a time.
void generate(const std::string& dir, int count, int bodyLines) {
  const std::string path = dir + "/mailin.txt";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) std::exit(2);
  std::string out = "Received\r\n";
  const auto flush = [&](size_t above) {
    if (out.size() < above) return;
    if (::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) std::exit(2);
    out.clear();
  };
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    out += "\tmsg\r\n\t\tFrom\r\n\t\t\tSender " + n + " <sender" + n + "@example.org>\r\n\t\tSubject\r\n\t\t\t";
    out += "Subject of message " + n + "\r\n\t\theader\r\n";
    out += "\t\t\tReturn-Path: <sender" + n + "@example.org>\r\n\t\t\tReceived: from mail.example.org by mx\r\n";
    out += "\t\t\tDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\t\t\tFrom: Sender " + n + " <sender" + n +
           "@example.org>\r\n\t\t\tTo: reader@example.org\r\n\t\t\tSubject: Subject of message " + n + "\r\n";
    out += "\t\t\tMessage-ID: <" + n + "@example.org>\r\n\t\t\tMIME-Version: 1.0\r\n";
    out += "\t\t\tContent-Type: text/plain; charset=utf-8\r\n\t\t\tContent-Transfer-Encoding: 7bit\r\n";
    out += "\t\t\tX-Mailer: bench\r\n\t\t\tX-Number: " + n + "\r\n\t\tbody\r\n";
    for (int line = 0; line < bodyLines; ++line)
      out += "\t\t\tLine " + std::to_string(line) + " of message " + n + ": some ordinary text of a letter.\r\n";
    out += "\t\tattachments\r\n";
    flush(4 << 20);
  }
  flush(0);
  ::fsync(fd);
  ::close(fd);
}

void dropFromCache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

int rows(const Tpopform& window) {
  return window.pophistlist->model()->rowCount();
}

// Until the list holds count rows and has been painted; bounded.
bool waitForList(Tpopform& window, int count) {
  const auto deadline = Clock::now() + std::chrono::minutes(5);
  QTimer wake;  // the loop looks again at least every millisecond
  wake.start(1);
  while (rows(window) != count && Clock::now() < deadline) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  QApplication::processEvents();
  window.pophistlist->viewport()->repaint();
  return rows(window) == count;
}

// The handler and the paint after it, as the user waits for them.
double answer(Tpopform& window, const std::function<void()>& action) {
  const auto start = Clock::now();
  action();
  QApplication::processEvents();
  window.repaint();
  return since(start);
}

struct Figures {
  std::vector<double> seconds;
  void print(const char* what) {
    std::sort(seconds.begin(), seconds.end());
    std::printf("%s_ms=%.2f %s_max_ms=%.2f ", what, seconds[seconds.size() / 2] * 1e3, what, seconds.back() * 1e3);
  }
};

// What the mouse sends for a double click: press, release, double click, release.
void doubleClick(QWidget* widget, QPoint at) {
  const QPointF local(at), global(widget->mapToGlobal(at));
  for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                                  QEvent::MouseButtonRelease}) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, local, local, global, Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
  }
}

void select(Tpopform& window, int row) {
  const QModelIndex index = window.pophistlist->model()->index(row, 0);
  window.pophistlist->scrollTo(index);
  window.pophistlist->setCurrentIndex(index);
}

void operations(Tpopform& window) {
  Figures open, remove, store;
  for (int round = 0; round < 5; ++round) {
    const int row = rows(window) / 2 + round * 7;
    select(window, row);
    QApplication::processEvents();
    const QRect rect = window.pophistlist->visualRect(window.pophistlist->model()->index(row, 0));
    open.seconds.push_back(answer(window, [&] { doubleClick(window.pophistlist->viewport(), rect.center()); }));
    select(window, row / 3);
    remove.seconds.push_back(answer(window, [&] { window.Delete1->trigger(); }));
    corvane::SetText(window.popfrom, "New Sender <new@example.org>");
    corvane::SetText(window.popsubject, "New message " + std::to_string(round));
    std::vector<std::string> header, body;
    for (int i = 0; i < 12; ++i) header.push_back("X-Header-" + std::to_string(i) + ": value");
    for (int i = 0; i < 40; ++i) body.push_back("Body line " + std::to_string(i) + " of the new message.");
    corvane::SetMemoLines(window.popmsgheader, header);
    corvane::SetMemoLines(window.popmsgbody, body);
    store.seconds.push_back(answer(window, [&] { window.popsaveClick(); }));
  }
  open.print("open");
  remove.print("delete");
  store.print("store");
}

// Until the deletions have reached the file (no deletion journal beside it), bounded: the
// longest time the window did not answer meanwhile, and how long the wait took.
void compaction(Tpopform& window, const std::string& dir) {
  const std::string journal = dir + "/mailin.txt.deleted";
  const auto start = Clock::now(), deadline = start + std::chrono::minutes(5);
  double stall = 0;
  QTimer tick;  // the loop looks at least every millisecond
  tick.start(1);
  while (::access(journal.c_str(), F_OK) == 0 && Clock::now() < deadline) {
    const auto before = Clock::now();
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    window.pophistlist->viewport()->update();
    stall = std::max(stall, since(before));
  }
  std::printf("stall_ms=%.1f compacted_s=%.3f ", stall * 1e3, since(start));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s generate|startup|operations DIR COUNT [BODYLINES|--cold]\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const std::string dir = argv[2];
  const int count = std::atoi(argv[3]);
  if (mode == "generate") {
    generate(dir, count, argc > 4 ? std::atoi(argv[4]) : 40);
    return 0;
  }
  if (argc > 4 && std::string(argv[4]) == "--cold") dropFromCache(dir + "/mailin.txt");
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ScriptedDialogs dialogs;
  const long before = bench::memoryKiB("VmRSS:");
  const auto constructed = Clock::now();
  auto* window = new Tpopform(dir + "/corvane", dialogs);  // left to the end of the process
  window->show();
  if (!waitForList(*window, count)) {
    std::fprintf(stderr, "the list shows %d rows, not %d\n", rows(*window), count);
    return 1;
  }
  std::printf("startup_s=%.3f window_s=%.3f memory_added_kib=%ld ", since(g_start), since(constructed),
              bench::memoryKiB("VmRSS:") - before);
  if (mode == "operations") {
    operations(*window);
    compaction(*window, dir);
    const auto closing = Clock::now();
    delete window;
    std::printf("close_s=%.3f", since(closing));
  }
  std::printf("\n");
  for (const std::string& error : dialogs.errors()) std::fprintf(stderr, "error box: %s\n", error.c_str());
  std::fflush(stdout);
  // Ends as a program killed at this point would: nothing more is written.
  ::_exit(dialogs.errors().empty() ? 0 : 1);
}
