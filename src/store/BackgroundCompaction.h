#pragma once
// The copy of a store's kept records into its ".new" file on a worker thread, so that a
// deletion answers at once however large the store is. The thread reads the store file
// and writes only the new one; done runs on the thread that started the copy, from its
// event loop, once the copy is written and synced (or has failed).
#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "StoreWriter.h"

class BackgroundCompaction {
 public:
  // Copies pieces of the file open at source, which is in the store's own form.
  BackgroundCompaction(std::string storePath, int source, std::vector<StorePiece> pieces, std::function<void()> done,
                       std::function<void(std::string_view)> step);
  // Gives the copy up and waits for the thread.
  ~BackgroundCompaction();
  BackgroundCompaction(const BackgroundCompaction&) = delete;
  BackgroundCompaction& operator=(const BackgroundCompaction&) = delete;

  // Waits for the copy: the synced file, or null when the copy failed.
  std::unique_ptr<StoreWriter> Finish();

 private:
  void run();

  const std::string storePath_;
  const int source_;
  const std::vector<StorePiece> pieces_;
  const std::function<void(std::string_view)> step_;
  std::atomic<bool> cancel_{false};
  std::unique_ptr<StoreWriter> writer_;  // set by the thread, read after it has ended
  QObject context_;                      // done is posted to it; its end drops a post not yet run
  std::function<void()> done_;
  std::thread thread_;
};
