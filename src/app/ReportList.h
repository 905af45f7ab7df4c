#pragma once
// A report-style list over a store's rows, whose rows can arrive faster than it is worth
// showing them: while paced, it lays out and paints its rows a few times a second,
// whatever comes in between.
#include <QHeaderView>
#include <QSortFilterProxyModel>
#include <QTreeView>
#include <memory>
#include <optional>
#include <utility>

#include "PacedPaint.h"
#include "StoreListModel.h"

class ReportList : public QTreeView {
 public:
  explicit ReportList(QWidget* parent = nullptr)
      : QTreeView(parent), rows_(new StoreListModel(this)), sorted_(new QSortFilterProxyModel(this)) {
    sorted_->setSortRole(StoreListModel::SortRole);
    sorted_->setSortCaseSensitivity(Qt::CaseInsensitive);
    sorted_->setSortLocaleAware(true);
    setModel(rows_);
  }

  StoreListModel* Rows() const { return rows_; }
  // The record a row of the view shows (-1 for none), and the view's row of a record: the
  // same until the rows are sorted.
  int RecordOf(const QModelIndex& shown) const {
    if (!shown.isValid()) return -1;
    return sorting() ? sorted_->mapToSource(shown).row() : shown.row();
  }
  QModelIndex IndexOf(int record, int column = 0) const {
    const QModelIndex index = rows_->index(record, column);
    return sorting() ? sorted_->mapFromSource(index) : index;
  }
  // A click on a column's header sorts by it, a second click the other way round. Until the
  // first click the rows keep the store's order and the view reads the store's rows
  // directly: a sort proxy costs every row added or removed a pass over its whole mapping,
  // which a large inbox nobody sorts should not pay.
  void EnableSorting() {
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    connect(header(), &QHeaderView::sortIndicatorChanged, this, [this](int column, Qt::SortOrder order) {
      if (!sorting() && column >= 0) sortThroughProxy(column, order);
    });
  }

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

  // A row the user moves to, by click or by key, is shown as a double click shows it, so
  // the list and what is on display never disagree. Rows the program selects (the newest
  // after a retrieval, which is already on display) are not shown again.
  void SetChoosingShows(bool shows) { choosingShows_ = shows; }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    Choosing choosing(*this);
    QTreeView::mousePressEvent(event);
  }
  void keyPressEvent(QKeyEvent* event) override {
    Choosing choosing(*this);
    QTreeView::keyPressEvent(event);
  }
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override {
    QTreeView::currentChanged(current, previous);
    if (choosing_ && current.row() != previous.row()) moved_ = true;
  }

 private:
  bool sorting() const { return model() == sorted_; }

  // Puts the proxy between the store's rows and the view, keeping the columns as they were
  // laid out and the row the user was on.
  void sortThroughProxy(int column, Qt::SortOrder order) {
    const QByteArray columns = header()->saveState();
    const int record = RecordOf(currentIndex());
    const bool selected = record >= 0 && selectionModel()->isRowSelected(currentIndex().row(), {});
    sorted_->setSourceModel(rows_);
    std::unique_ptr<QItemSelectionModel> unsorted(selectionModel());  // setModel leaves it to us
    setModel(sorted_);
    header()->restoreState(columns);
    sortByColumn(column, order);
    if (record < 0) return;
    const auto how =
        selected ? QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate;
    selectionModel()->setCurrentIndex(IndexOf(record), how);
    scrollTo(currentIndex());
  }

  // Shows the row moved to once the click or key is done, when the row is selected too.
  struct Choosing {
    explicit Choosing(ReportList& list) : list(list) { list.choosing_ = true; }
    ~Choosing() {
      list.choosing_ = false;
      const QModelIndex current = list.currentIndex();
      if (std::exchange(list.moved_, false) && list.choosingShows_ && current.isValid())
        emit list.doubleClicked(current);
    }
    ReportList& list;
  };

  StoreListModel* rows_;           // owned by the list
  QSortFilterProxyModel* sorted_;  // owned by the list
  std::optional<PacedPaint> pacing_;
  bool choosingShows_ = false;
  bool choosing_ = false;
  bool moved_ = false;
};
