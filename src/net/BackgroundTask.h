#pragma once
// Work that may block for a while (a name lookup) runs on a worker thread; its result is
// handed back on the thread that started it, as a posted event, so the caller's wait
// sees it like every other notification. Cancelling or destroying the task drops a result
// still to come; the worker itself ends by its own bound.
#include <cstdint>
#include <functional>
#include <memory>

class QObject;

class TBackgroundTask {
 public:
  TBackgroundTask();
  ~TBackgroundTask();
  TBackgroundTask(const TBackgroundTask&) = delete;
  TBackgroundTask& operator=(const TBackgroundTask&) = delete;

  // Runs work on a worker; the function it returns runs later on this thread, unless the
  // task was cancelled, destroyed or started anew meanwhile. A running task is cancelled
  // first.
  void Start(std::function<std::function<void()>()> work);
  void Cancel();
  // Started and neither finished nor cancelled.
  bool Running() const { return running_; }

 private:
  struct Channel;
  std::shared_ptr<Channel> channel_;
  std::unique_ptr<QObject> receiver_;
  uint64_t generation_ = 0;
  bool running_ = false;
};
