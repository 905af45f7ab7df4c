#pragma once
// A report-style list whose rows can arrive faster than it is worth showing them: while
// paced, it lays out and paints its rows a few times a second, whatever comes in between.
#include <QTimer>
#include <QTreeWidget>

class ReportList : public QTreeWidget {
 public:
  explicit ReportList(QWidget* parent = nullptr) : QTreeWidget(parent) {
    pace_.setInterval(kPaceMs);
    QObject::connect(&pace_, &QTimer::timeout, this, [this] { showNow(); });
  }

  // Laying out every row after each new one costs time that grows with the list, and
  // painting it for every message costs more than the rest of the message's way. The
  // timer keeps the list live while a long message comes in and no row is added.
  void SetPaced(bool paced) {
    if (paced == paced_) return;
    paced_ = paced;
    setUpdatesEnabled(!paced);
    if (paced) {
      pace_.start();
    } else {
      pace_.stop();
      QTreeWidget::doItemsLayout();
    }
  }
  void doItemsLayout() override {
    if (!paced_) QTreeWidget::doItemsLayout();
  }

 private:
  static constexpr int kPaceMs = 200;

  void showNow() {
    QTreeWidget::doItemsLayout();
    setUpdatesEnabled(true);
    repaint();
    setUpdatesEnabled(false);
  }

  bool paced_ = false;
  QTimer pace_;
};
