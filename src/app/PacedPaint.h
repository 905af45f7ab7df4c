#pragma once
// Paints a widget a few times a second, for the life of the object, instead of after every
// change: for a part of the window that changes many times a second while mail comes in,
// where painting each change would cost more than the mail's own way.
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <utility>

class PacedPaint {
 public:
  // beforePaint runs before each of the paced paints (a list lays out its rows there).
  explicit PacedPaint(QWidget* widget, std::function<void()> beforePaint = {})
      : widget_(widget), beforePaint_(std::move(beforePaint)) {
    widget_->setUpdatesEnabled(false);
    timer_.setInterval(kIntervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { paintNow(); });
    timer_.start();
  }
  ~PacedPaint() {
    if (widget_) widget_->setUpdatesEnabled(true);
  }
  PacedPaint(const PacedPaint&) = delete;
  PacedPaint& operator=(const PacedPaint&) = delete;

 private:
  static constexpr int kIntervalMs = 200;

  void paintNow() {
    if (!widget_) return;
    if (beforePaint_) beforePaint_();
    widget_->setUpdatesEnabled(true);
    widget_->repaint();
    widget_->setUpdatesEnabled(false);
  }

  QPointer<QWidget> widget_;
  std::function<void()> beforePaint_;
  QTimer timer_;
};
