#pragma once
// A report-style list whose rows can arrive faster than it is worth showing them: while
// paced, it neither lays out nor paints its rows until told to.
#include <QTreeWidget>

class ReportList : public QTreeWidget {
 public:
  using QTreeWidget::QTreeWidget;

  // Laying out every row after each new one costs time that grows with the list, and
  // painting it for every message costs more than the rest of the message's way.
  void SetPaced(bool paced) {
    paced_ = paced;
    setUpdatesEnabled(!paced);
    if (!paced) QTreeWidget::doItemsLayout();
  }
  // Lays out and paints the rows now, paced or not.
  void ShowNow() {
    if (!paced_) return;
    QTreeWidget::doItemsLayout();
    setUpdatesEnabled(true);
    repaint();
    setUpdatesEnabled(false);
  }
  void doItemsLayout() override {
    if (!paced_) QTreeWidget::doItemsLayout();
  }

 private:
  bool paced_ = false;
};
