#include "StoreLoader.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <utility>

#include "QtText.h"
#include "SysUtils.h"

namespace {

int64_t g_workerAbove = 16 << 20;

}  // namespace

int64_t StoreLoader::SetWorkerAbove(int64_t bytes) {
  return std::exchange(g_workerAbove, bytes);
}

StoreLoader::StoreLoader(QProgressBar* bar) : bar_(bar) {
  timer_.setInterval(100);
  QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
}

StoreLoader::~StoreLoader() {
  for (const auto& job : jobs_) {
    job->cancel = true;
    job->thread.join();
  }
}

void StoreLoader::Load(const std::shared_ptr<MessageStore>& store, Done done) {
  const int64_t total = store->Open();
  if (total <= g_workerAbove) {
    store->Scan();
    done(store->Finish());
    return;
  }
  auto job = std::make_unique<Job>();
  job->store = store;
  job->done = std::move(done);
  job->total = total;
  Job* running = job.get();
  running->thread = std::thread([this, running] {
    try {
      running->store->Scan(&running->cancel);
    } catch (const std::exception&) {
      // Finish reports the failure; a file that could not be read is never written.
    }
    running->finished = true;
    QMetaObject::invokeMethod(
        &context_, [this] { poll(); }, Qt::QueuedConnection);
  });
  jobs_.push_back(std::move(job));
  showProgress();
  timer_.start();
}

StoreLoader::Job* StoreLoader::find(const MessageStore* store) const {
  for (const auto& job : jobs_)
    if (job->store.get() == store) return job.get();
  return nullptr;
}

bool StoreLoader::Loading(const MessageStore* store) const {
  return find(store) != nullptr;
}

void StoreLoader::Wait(const MessageStore* store) {
  QTimer wake;  // wakes the loop at least every 2 ms; the reading posts nothing
  wake.start(2);
  while (Job* job = find(store)) {
    if (job->finished) {
      finish(job);
      return;
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

void StoreLoader::poll() {
  for (size_t i = 0; i < jobs_.size(); ++i) {
    if (!jobs_[i]->finished) continue;
    finish(jobs_[i].get());
    return;  // done may have changed the jobs; the next tick sees the rest
  }
  showProgress();
}

void StoreLoader::finish(Job* job) {
  job->thread.join();
  std::unique_ptr<Job> owned;
  for (auto it = jobs_.begin(); it != jobs_.end(); ++it)
    if (it->get() == job) {
      owned = std::move(*it);
      jobs_.erase(it);
      break;
    }
  if (jobs_.empty()) timer_.stop();
  showProgress();
  MessageStore::LoadReport report;
  try {
    report = owned->store->Finish();
  } catch (const std::exception& e) {
    report.failure = e.what();
  }
  owned->done(report);
}

void StoreLoader::showProgress() {
  if (!bar_) return;
  if (jobs_.empty()) {
    bar_->hide();
    return;
  }
  int64_t total = 0, read = 0;
  std::string names;
  for (const auto& job : jobs_) {
    total += job->total;
    read += job->store->ScannedBytes();
    names += (names.empty() ? "" : ", ") + corvane::ExtractFileName(job->store->Path());
  }
  bar_->setRange(0, 1000);
  bar_->setValue(static_cast<int>(total > 0 ? read * 1000 / total : 0));
  bar_->setFormat(corvane::ToQString("Indexing " + names + ": %p%"));
  bar_->show();
}
