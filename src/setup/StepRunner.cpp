#include "StepRunner.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>

int64_t TStepRunner::now() const {
  if (options_.Clock) return options_.Clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void TStepRunner::BeginStep() {
  deadline_ = now() + options_.StepTimeoutMs;
}

bool TStepRunner::Expired() const {
  return canceled_ || now() >= deadline_;
}

bool TStepRunner::Wait(const std::function<bool()>& done, const std::function<void()>& stop) {
  // Wakes the loop at least every 2 ms; any event wakes it sooner.
  QTimer wake;
  wake.start(2);
  while (!done()) {
    if (Expired()) {
      if (stop) stop();
      return false;
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}
