#pragma once
// Loads the window's stores. A store whose index fits, or that has little left to read,
// loads at once; a larger reading runs on a worker thread while the window stays live,
// with a progress bar in the status bar, and the store's list fills when it is done.
// Whatever needs a store that is still being read waits for it, pumping events.
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "MessageStore.h"

class QProgressBar;

class StoreLoader {
 public:
  using Done = std::function<void(const MessageStore::LoadReport&)>;

  explicit StoreLoader(QProgressBar* bar);
  // Gives up a reading still running: such a store stays unloaded and writes nothing.
  ~StoreLoader();
  StoreLoader(const StoreLoader&) = delete;
  StoreLoader& operator=(const StoreLoader&) = delete;

  // Starts loading store; done gets the report on this thread, at once or when the
  // reading is done. "Cannot open file %s" when the store cannot even be opened.
  void Load(const std::shared_ptr<MessageStore>& store, Done done);
  // Returns once store is loaded (or was never being loaded).
  void Wait(const MessageStore* store);
  bool Loading(const MessageStore* store) const;

  // Readings of up to this many bytes are done at once; the default takes a few dozen
  // milliseconds at the speed of a disk. Returns the value before.
  static int64_t SetWorkerAbove(int64_t bytes);

 private:
  struct Job {
    std::shared_ptr<MessageStore> store;
    Done done;
    int64_t total = 0;
    std::atomic<bool> cancel{false};
    std::atomic<bool> finished{false};
    std::thread thread;
  };

  Job* find(const MessageStore* store) const;
  void poll();
  void finish(Job* job);
  void showProgress();

  QPointer<QProgressBar> bar_;
  QTimer timer_;     // shows the readings' progress a few times a second
  QObject context_;  // a reading's end is posted to it
  std::vector<std::unique_ptr<Job>> jobs_;
};
