#pragma once
// The send queue on the Write Mail page: the queue store and its attempts, the timer that
// wakes them, and the list "queuelist", which shows each waiting message with the
// recipients that still need it, its state, the last reply and the next attempt.
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "QueueStore.h"
#include "SendQueue.h"

struct TpopformControls;

class QueuePane {
 public:
  // host.changed, host.wake and host.now are the pane's own; the rest is the window's.
  // guard runs a timer's attempt as the window runs a click.
  QueuePane(TpopformControls& controls, const std::string& path, SendSession& session, TZnSMTP& smtp,
            SendQueue::Host host, std::function<void(const std::function<void()>&)> guard);

  SendQueue& Queue() { return queue_; }
  QueueStore& Store() { return store_; }
  // The time the queue goes by, in seconds since 1970; tests put a clock of their own.
  std::function<int64_t()> Clock;
  // Fires when the next attempt is due; tests read its interval.
  QTimer& Timer() { return timer_; }

  // The list anew, shown while the queue holds a message.
  void Show();
  // The selected row of the list, or -1.
  int Selected() const;

 private:
  void wake(int64_t due);

  TpopformControls& controls_;
  QueueStore store_;
  SendQueue queue_;
  QTimer timer_;
  int64_t due_ = 0;
};
