#include "StoreListModel.h"

#include <QDateTime>
#include <QLocale>
#include <limits>

#include "MailDate.h"
#include "MessageStore.h"
#include "QtText.h"

void StoreListModel::SetDateColumn(bool shown) {
  beginResetModel();
  dateColumn_ = shown;
  endResetModel();
}

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
  return parent.isValid() ? 0 : (dateColumn_ ? 3 : 2);
}

QVariant StoreListModel::data(const QModelIndex& index, int role) const {
  if (!store_ || !index.isValid()) return {};
  if (index.column() == 2) return dateData(index.row(), role);
  if (role == Qt::DisplayRole || role == SortRole)
    return corvane::ToQString(store_->RowText(index.row(), index.column()));
  if (role == DateRole) return corvane::ToQString(store_->RowText(index.row(), 2));
  return {};
}

QVariant StoreListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const QString kCaptions[] = {QStringLiteral("From"), QStringLiteral("Subject"), QStringLiteral("Date")};
  return section >= 0 && section < columnCount() ? kCaptions[section] : QVariant();
}

QVariant StoreListModel::dateData(int row, int role) const {
  if (role != Qt::DisplayRole && role != SortRole && role != DateRole) return {};
  const std::string_view value = store_->RowText(row, 2);
  if (role == DateRole) return corvane::ToQString(value);
  const auto instant = mime::ParseMailDate(value);
  if (role == SortRole) return static_cast<qlonglong>(instant.value_or(std::numeric_limits<std::int64_t>::min()));
  if (!instant) return QString();
  return QLocale().toString(QDateTime::fromSecsSinceEpoch(*instant).toLocalTime(), QLocale::ShortFormat);
}

Qt::ItemFlags StoreListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  // No row has children: the view then never asks which rows are expanded.
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
