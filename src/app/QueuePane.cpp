#include "QueuePane.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <algorithm>

#include "QtText.h"
#include "WindowControls.h"

namespace {

// The longest the timer sleeps at once: a machine that slept meanwhile is caught up with
// within a minute.
constexpr int64_t kLongestWaitMs = 60000;

std::string whenText(int64_t due, int64_t now) {
  if (due <= 0) return {};
  if (due <= now) return "now";
  const QDateTime at = QDateTime::fromSecsSinceEpoch(due);
  const bool today = at.date() == QDateTime::fromSecsSinceEpoch(now).date();
  return at.toString(today ? "HH:mm" : "d MMM HH:mm").toStdString();
}

// The recipients that do not have the message yet, and each one's last reply.
void recipientCells(const QueuedMessage& m, std::string& names, std::string& details) {
  for (size_t i = 0; i < m.Fields.ToAddress.size(); ++i) {
    const QueuedRecipient& r = m.Recipients[i];
    if (r.state == RecipientState::Accepted) continue;
    names += (names.empty() ? "" : ", ") + m.Fields.ToAddress[i];
    details += (details.empty() ? "" : "\n") + m.Fields.ToAddress[i] +
               (r.state == RecipientState::Refused ? ": refused" : ": waiting") +
               (r.reply.empty() ? "" : " (" + r.reply + ")");
  }
}

}  // namespace

QueuePane::QueuePane(TpopformControls& controls, const std::string& path, SendSession& session, TZnSMTP& smtp,
                     SendQueue::Host host, std::function<void(const std::function<void()>&)> guard)
    : Clock([] { return QDateTime::currentSecsSinceEpoch(); }),
      controls_(controls),
      store_(path),
      queue_(store_, session, smtp, [&] {
        host.now = [this] { return Clock(); };
        host.changed = [this] { Show(); };
        host.wake = [this](int64_t due) { wake(due); };
        return host;
      }()) {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, [this, guard = std::move(guard)] {
    // Early (the wait is capped), the attempt finds nothing due and sets the timer again.
    guard([this] { queue_.RetryDue(); });
  });
}

void QueuePane::wake(int64_t due) {
  due_ = due;
  if (due <= 0) {
    timer_.stop();
    return;
  }
  timer_.start(static_cast<int>(std::clamp<int64_t>((due - Clock()) * 1000, 0, kLongestWaitMs)));
}

void QueuePane::Show() {
  QTreeWidget* list = controls_.queuelist;
  const int selected = Selected();
  list->clear();
  const int64_t now = Clock();
  for (int r = 0; r < store_.Count(); ++r) {
    const QueuedMessage m = store_.At(r);
    std::string names, details;
    recipientCells(m, names, details);
    const int64_t next = m.State == QueueState::Queued ? m.NextAttempt : 0;
    auto* row = new QTreeWidgetItem(list);
    const std::string cells[] = {names, m.Fields.Subject, QueueStateText(m.State), m.Reply, whenText(next, now)};
    for (int c = 0; c < 5; ++c) row->setText(c, corvane::ToQString(cells[c]));
    row->setToolTip(0, corvane::ToQString(details));
    row->setToolTip(3, corvane::ToQString(m.Reply));
  }
  if (selected >= 0 && selected < list->topLevelItemCount()) list->setCurrentItem(list->topLevelItem(selected));
  const bool shown = store_.Count() > 0;
  controls_.queuelabel->setVisible(shown);
  list->setVisible(shown);
}

int QueuePane::Selected() const {
  QTreeWidgetItem* item = controls_.queuelist->currentItem();
  return item && item->isSelected() ? controls_.queuelist->indexOfTopLevelItem(item) : -1;
}
