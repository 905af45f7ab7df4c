#include "StoreListModel.h"

#include "MessageStore.h"
#include "QtText.h"

void StoreListModel::Show(const MessageStore* store) {
  beginResetModel();
  store_ = store;
  rows_ = store ? store->Count() : 0;
  endResetModel();
}

void StoreListModel::Reset() {
  Show(store_);
}

void StoreListModel::CatchUp() {
  const int count = store_ ? store_->Count() : 0;
  if (count < rows_) return Reset();
  if (count == rows_) return;
  beginInsertRows({}, rows_, count - 1);
  rows_ = count;
  endInsertRows();
}

void StoreListModel::Remove(int r, const std::function<void()>& remove) {
  beginRemoveRows({}, r, r);
  struct End {
    StoreListModel& model;
    ~End() {
      --model.rows_;
      model.endRemoveRows();
    }
  } end{*this};
  remove();
}

int StoreListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_;
}

int StoreListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 2;
}

QVariant StoreListModel::data(const QModelIndex& index, int role) const {
  if (!store_ || !index.isValid()) return {};
  if (role == Qt::DisplayRole) return corvane::ToQString(store_->RowText(index.row(), index.column()));
  if (role == DateRole) return corvane::ToQString(store_->RowText(index.row(), 2));
  return {};
}

QVariant StoreListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section == 0 ? QStringLiteral("From") : QStringLiteral("Subject");
}

Qt::ItemFlags StoreListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  // No row has children: the view then never asks which rows are expanded.
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
