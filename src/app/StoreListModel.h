#pragma once
// The rows of a store list: a table over a message store's index, row r showing record r's
// sender and subject. It keeps nothing of a row but the count, so a list of any length
// costs only the rows painted. Each row also carries its record's Date header value under
// DateRole, for a view that shows or sorts by it.
#include <QAbstractTableModel>
#include <functional>

class MessageStore;

class StoreListModel : public QAbstractTableModel {
 public:
  static constexpr int DateRole = Qt::UserRole + 1;
  // What a column sorts by: the text shown, or for the Date column the instant (a row
  // without a readable date sorts before every dated one).
  static constexpr int SortRole = Qt::UserRole + 2;

  explicit StoreListModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  // A third column, "Date": the record's Date header in the user's locale and time zone,
  // empty when there is none or it is not a date.
  void SetDateColumn(bool shown);

  // Shows store (none: no rows), every row anew.
  void Show(const MessageStore* store);
  // Every row anew: the store changed more than rows added or removed tell.
  void Reset();
  // Rows for the records the store has beyond those shown; every row anew when it has fewer.
  void CatchUp();
  // Removes row r while remove takes its record out of the store; the row goes even when
  // remove fails, as the store hides the record first.
  void Remove(int r, const std::function<void()>& remove);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  QVariant dateData(int row, int role) const;

  const MessageStore* store_ = nullptr;
  int rows_ = 0;
  bool dateColumn_ = false;
};
