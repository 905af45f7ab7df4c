#include "StoreList.h"

#include <QTreeWidget>

#include "MessageStore.h"
#include "QtText.h"
#include "SysUtils.h"

namespace storelist {

namespace {
// Shows the newest row; after a load nothing is selected, as in a list built anew.
void showNewest(QTreeWidget* list) {
  if (list->topLevelItemCount() > 0) list->scrollToItem(list->topLevelItem(list->topLevelItemCount() - 1));
}
}  // namespace

std::string AddRows(QTreeWidget* list, const MessageStore& store, int from) {
  std::string failure;
  QList<QTreeWidgetItem*> items;
  items.reserve(store.Count() - from);
  for (int r = from; r < store.Count(); ++r) {
    const MessageStore::Row row = store.RowAt(r);
    if (failure.empty()) failure = row.Failure;
    auto* item = new QTreeWidgetItem;
    item->setText(0, corvane::ToQString(row.From));
    item->setText(1, corvane::ToQString(row.Subject));
    items.append(item);
  }
  list->addTopLevelItems(items);
  return failure;
}

void Rebuild(QTreeWidget* list, const MessageStore& store) {
  list->clear();
  const std::string failure = AddRows(list, store, 0);
  showNewest(list);
  if (!failure.empty()) throw EListError(failure);
}

void Fill(QTreeWidget* list, const MessageStore& store) {
  list->clear();
  AddRows(list, store, 0);
  showNewest(list);
}

void CatchUp(QTreeWidget* list, const MessageStore& store) {
  if (list->topLevelItemCount() > store.Count()) list->clear();
  AddRows(list, store, list->topLevelItemCount());
  const int newest = list->topLevelItemCount() - 1;
  if (newest < 0) return;
  list->setCurrentItem(list->topLevelItem(newest));
  showNewest(list);
}

int SelectedRow(const QTreeWidget* list) {
  QTreeWidgetItem* item = list->currentItem();
  if (!item || !item->isSelected()) return -1;
  return list->indexOfTopLevelItem(item);
}

void RemoveRow(QTreeWidget* list, int row) {
  delete list->takeTopLevelItem(row);
  list->setCurrentItem(nullptr);
  list->clearSelection();
}

std::string ShowMerged(QTreeWidget* list, MessageStore& store) {
  if (!store.TakeMerged()) return {};
  list->clear();
  AddRows(list, store, 0);
  return corvane::ExtractFileName(store.Path()) + " was changed by another program; both changes were kept";
}

}  // namespace storelist
