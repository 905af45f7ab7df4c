#pragma once
// A report-style list whose rows can arrive faster than it is worth showing them: while
// paced, it lays out and paints its rows a few times a second, whatever comes in between.
#include <QTreeWidget>
#include <optional>

#include "PacedPaint.h"

class ReportList : public QTreeWidget {
 public:
  using QTreeWidget::QTreeWidget;

  // Laying out every row after each new one costs time that grows with the list, and
  // painting it for every message costs more than the rest of the message's way. The
  // pacing timer keeps the list live while a long message comes in and no row is added.
  void SetPaced(bool paced) {
    if (paced == pacing_.has_value()) return;
    if (paced) {
      pacing_.emplace(this, [this] { QTreeWidget::doItemsLayout(); });
    } else {
      pacing_.reset();
      QTreeWidget::doItemsLayout();
    }
  }
  void doItemsLayout() override {
    if (!pacing_) QTreeWidget::doItemsLayout();
  }

 private:
  std::optional<PacedPaint> pacing_;
};
