#pragma once
// A report-style list over a store's rows, whose rows can arrive faster than it is worth
// showing them: while paced, it lays out and paints its rows a few times a second,
// whatever comes in between.
#include <QTreeView>
#include <optional>

#include "PacedPaint.h"
#include "StoreListModel.h"

class ReportList : public QTreeView {
 public:
  explicit ReportList(QWidget* parent = nullptr) : QTreeView(parent), rows_(new StoreListModel(this)) {
    setModel(rows_);
  }

  StoreListModel* Rows() const { return rows_; }

  // Laying out every row after each new one costs time that grows with the list, and
  // painting it for every message costs more than the rest of the message's way. The
  // pacing timer keeps the list live while a long message comes in and no row is added.
  void SetPaced(bool paced) {
    if (paced == pacing_.has_value()) return;
    if (paced) {
      pacing_.emplace(this, [this] { QTreeView::doItemsLayout(); });
    } else {
      pacing_.reset();
      QTreeView::doItemsLayout();
    }
  }
  void doItemsLayout() override {
    if (!pacing_) QTreeView::doItemsLayout();
  }

 private:
  StoreListModel* rows_;  // owned by the list
  std::optional<PacedPaint> pacing_;
};
