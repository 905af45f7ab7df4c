#pragma once
// The rows of a store list as a test reads and picks them: through the list's model, as the
// view shows them.
#include <QAbstractItemView>
#include <QItemSelectionModel>
#include <string>
#include <vector>

#include "QtText.h"

namespace listrows {

inline int Count(const QAbstractItemView* list) {
  return list->model()->rowCount();
}

inline QModelIndex At(const QAbstractItemView* list, int row, int column = 0) {
  return list->model()->index(row, column);
}

inline std::string Text(const QAbstractItemView* list, int row, int column) {
  return corvane::FromQString(At(list, row, column).data().toString());
}

inline std::vector<std::string> Column(const QAbstractItemView* list, int column) {
  std::vector<std::string> rows;
  for (int r = 0; r < Count(list); ++r) rows.push_back(Text(list, r, column));
  return rows;
}

// "sender|subject" for each row.
inline std::vector<std::string> Both(const QAbstractItemView* list) {
  std::vector<std::string> rows;
  for (int r = 0; r < Count(list); ++r) rows.push_back(Text(list, r, 0) + "|" + Text(list, r, 1));
  return rows;
}

// The current row, -1 when none.
inline int Current(const QAbstractItemView* list) {
  return list->currentIndex().isValid() ? list->currentIndex().row() : -1;
}

inline std::vector<int> Selected(const QAbstractItemView* list) {
  std::vector<int> rows;
  for (const QModelIndex& index : list->selectionModel()->selectedRows()) rows.push_back(index.row());
  return rows;
}

// Makes row the current and only selected one, as a click on it does.
inline void Select(QAbstractItemView* list, int row) {
  list->setCurrentIndex(At(list, row));
}

}  // namespace listrows
