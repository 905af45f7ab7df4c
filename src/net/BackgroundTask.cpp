#include "BackgroundTask.h"

#include <QObject>
#include <QThreadPool>
#include <mutex>

namespace {

// Lookups of a connect and of discovery run side by side; each is bounded, so a few
// threads suffice. The pool waits for its workers when the program ends.
QThreadPool& workers() {
  static QThreadPool pool;
  static const bool sized = (pool.setMaxThreadCount(8), true);
  (void)sized;
  return pool;
}

}  // namespace

// What a worker and its task share. The receiver is posted to only under the lock, and the
// task clears it under the same lock before the receiver goes, so no post reaches a
// destroyed object.
struct TBackgroundTask::Channel {
  std::mutex lock;
  QObject* receiver = nullptr;
  uint64_t generation = 0;
};

TBackgroundTask::TBackgroundTask() : channel_(std::make_shared<Channel>()), receiver_(std::make_unique<QObject>()) {
  channel_->receiver = receiver_.get();
}

TBackgroundTask::~TBackgroundTask() {
  std::lock_guard guard(channel_->lock);
  channel_->receiver = nullptr;
}

void TBackgroundTask::Start(std::function<std::function<void()>()> work) {
  Cancel();
  uint64_t generation = 0;
  {
    std::lock_guard guard(channel_->lock);
    generation = ++channel_->generation;
  }
  generation_ = generation;
  running_ = true;
  std::shared_ptr<Channel> channel = channel_;
  workers().start([channel, generation, work = std::move(work), this] {
    std::function<void()> done = work();
    std::lock_guard guard(channel->lock);
    if (!channel->receiver || channel->generation != generation) return;
    QMetaObject::invokeMethod(
        channel->receiver,
        [this, generation, done = std::move(done)] {
          // Still this task's current work: the receiver lives exactly as long as the task.
          if (generation != generation_ || !running_) return;
          running_ = false;
          done();
        },
        Qt::QueuedConnection);
  });
}

void TBackgroundTask::Cancel() {
  running_ = false;
  std::lock_guard guard(channel_->lock);
  ++channel_->generation;
}
