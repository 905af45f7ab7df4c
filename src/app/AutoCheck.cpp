#include "AutoCheck.h"

#include <QApplication>
#include <QSpinBox>
#include <QTime>
#include <QTimer>
#include <algorithm>

#include "Exceptions.h"
#include "ZnSock.h"

namespace {

class QtIntervalTimer : public AutoCheck::Timer {
 public:
  QtIntervalTimer() {
    timer_.setSingleShot(true);
    // Minutes need no precision; a coarse timer lets the system bundle wake-ups.
    timer_.setTimerType(Qt::VeryCoarseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (elapsed_) elapsed_();
    });
  }
  void Start(int ms, std::function<void()> elapsed) override {
    elapsed_ = std::move(elapsed);
    timer_.start(ms);
  }
  void Stop() override { timer_.stop(); }
  bool Active() const override { return timer_.isActive(); }

 private:
  QTimer timer_;
  std::function<void()> elapsed_;
};

constexpr int kMsPerMinute = 60 * 1000;

std::string failureText(const std::exception& failure) {
  const auto* own = dynamic_cast<const Exception*>(&failure);
  return own ? own->Message() : std::string(failure.what());
}

std::string newMessages(int count) {
  if (count == 0) return "no new messages";
  return std::to_string(count) + (count == 1 ? " new message" : " new messages");
}

}  // namespace

AutoCheck::AutoCheck(Host host, std::unique_ptr<Timer> timer) : host_(std::move(host)), timer_(std::move(timer)) {}

AutoCheck::~AutoCheck() {
  *alive_ = false;
  QObject::disconnect(following_);
  timer_->Stop();
}

std::unique_ptr<AutoCheck::Timer> AutoCheck::QtTimer() {
  return std::make_unique<QtIntervalTimer>();
}

std::string AutoCheck::LocalTime() {
  return QTime::currentTime().toString("HH:mm").toStdString();
}

bool AutoCheck::Idle(const TZnSocket& receive, const TZnSocket& send) {
  // A check inside the wait of a box would run under the user's hands.
  if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) return false;
  return !receive.Busy() && !receive.Connected && !send.Busy() && !send.Connected;
}

void AutoCheck::SetMinutes(int minutes) {
  minutes_ = std::max(minutes, 0);
  arm();
}

void AutoCheck::Follow(QSpinBox* box) {
  QObject::disconnect(following_);
  following_ = QObject::connect(box, &QSpinBox::valueChanged, box, [this](int minutes) { SetMinutes(minutes); });
  SetMinutes(box->value());
}

void AutoCheck::Stop() {
  stopped_ = true;
  timer_->Stop();
}

void AutoCheck::arm() {
  if (stopped_ || minutes_ == 0) {
    timer_->Stop();
    return;
  }
  timer_->Start(minutes_ * kMsPerMinute, [this] { Elapsed(); });
}

void AutoCheck::Elapsed() {
  if (stopped_ || minutes_ == 0 || running_) return;
  const std::shared_ptr<bool> alive = alive_;
  // Reached from the event loop: nothing may escape it.
  try {
    if (host_.wayIsClear()) run();
  } catch (...) {
  }
  if (*alive) arm();
}

void AutoCheck::run() {
  running_ = true;
  const std::shared_ptr<bool> alive = alive_;
  std::string report;
  try {
    report = "Checked for mail at " + host_.clock() + ": " + newMessages(host_.check());
  } catch (const std::exception& failure) {
    report = "Checking for mail failed at " + host_.clock() + ": " + failureText(failure);
  } catch (...) {
    report = "Checking for mail failed at " + host_.clock();
  }
  // The window may have closed inside the session's waits.
  if (!*alive) return;
  running_ = false;
  if (!stopped_) host_.status(report);
}
