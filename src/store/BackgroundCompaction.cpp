#include "BackgroundCompaction.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QMetaObject>

namespace {
constexpr int kNice = 10;
// ioprio_set(2): the calling thread, the idle class (3) shifted into place.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioIdle = 3 << 13;
}  // namespace

BackgroundCompaction::BackgroundCompaction(std::string storePath, int source, std::vector<StorePiece> pieces,
                                           std::function<void()> done, std::function<void(std::string_view)> step)
    : storePath_(std::move(storePath)),
      source_(source),
      pieces_(std::move(pieces)),
      step_(std::move(step)),
      done_(std::move(done)),
      thread_([this] { run(); }) {}

BackgroundCompaction::~BackgroundCompaction() {
  cancel_ = true;
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<StoreWriter> BackgroundCompaction::Finish() {
  if (thread_.joinable()) thread_.join();
  return std::move(writer_);
}

void BackgroundCompaction::run() {
  // The copy yields the processor and the disk to the window and to new mail: it has all
  // the time until the store closes.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kNice);
  ::syscall(SYS_ioprio_set, kIoprioWhoProcess, ::gettid(), kIoprioIdle);
  try {
    auto writer = std::make_unique<StoreWriter>(storePath_);
    if (!writer->Write(source_, true, pieces_, &cancel_)) return;
    writer->Sync();
    if (step_) step_("copied");
    writer_ = std::move(writer);
  } catch (const std::exception&) {
    // No copy: the journal keeps the deletions, and the next compaction tries again.
  }
  QMetaObject::invokeMethod(&context_, done_, Qt::QueuedConnection);
}
