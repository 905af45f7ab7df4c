#include "Pump.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace corvane::auth {

PumpEnd PumpUntil(const std::function<bool()>& done, const std::function<bool()>& cancelled, int timeoutMs) {
  const QDeadlineTimer deadline(timeoutMs);
  QTimer tick;
  tick.start(2);
  for (;;) {
    if (done()) return PumpEnd::Done;
    if (cancelled()) return PumpEnd::Cancelled;
    if (deadline.hasExpired()) return PumpEnd::TimedOut;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
  }
}

}  // namespace corvane::auth
