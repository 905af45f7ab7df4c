#include "StoreList.h"

#include <QItemSelectionModel>

#include "Dialogs.h"
#include "Exceptions.h"
#include "MessageStore.h"
#include "ReportList.h"
#include "SysUtils.h"

namespace storelist {

namespace {
// Shows the newest row; after a load nothing is selected, as in a list built anew.
void showNewest(ReportList* list) {
  const int rows = list->Rows()->rowCount();
  if (rows > 0) list->scrollTo(list->IndexOf(rows - 1));
}

std::string firstFailure(const MessageStore& store) {
  for (int r = 0; r < store.Count(); ++r) {
    std::string failure = store.RowAt(r).Failure;
    if (!failure.empty()) return failure;
  }
  return {};
}
}  // namespace

void AddRows(ReportList* list) {
  list->Rows()->CatchUp();
}

void Rebuild(ReportList* list, const MessageStore& store) {
  Fill(list, store);
  const std::string failure = firstFailure(store);
  if (!failure.empty()) throw EListError(failure);
}

void Fill(ReportList* list, const MessageStore& store) {
  list->Rows()->Show(&store);
  showNewest(list);
}

void CatchUp(ReportList* list) {
  list->Rows()->CatchUp();
  const int newest = list->Rows()->rowCount() - 1;
  if (newest < 0) return;
  list->setCurrentIndex(list->IndexOf(newest));
  showNewest(list);
}

int SelectedRow(const ReportList* list) {
  const QModelIndex current = list->currentIndex();
  if (!current.isValid() || !list->selectionModel()->isRowSelected(current.row(), {})) return -1;
  return list->RecordOf(current);
}

void RemoveRow(ReportList* list, int row, MessageStore& store) {
  list->Rows()->Remove(row, [&] { store.Delete(row); });
  list->selectionModel()->clear();
}

void RemoveAll(ReportList* list, MessageStore& store) {
  struct Rebuild {
    ReportList* list;
    ~Rebuild() { list->Rows()->Reset(); }
  } rebuild{list};
  store.DeleteAll();
}

std::string ShowMerged(ReportList* list, MessageStore& store) {
  if (!store.TakeMerged()) return {};
  list->Rows()->Reset();
  return corvane::ExtractFileName(store.Path()) + " was changed by another program; both changes were kept";
}

std::string DeleteSelected(ReportList* list, MessageStore& store) {
  const int r = SelectedRow(list);
  if (r < 0) return {};
  RemoveRow(list, r, store);
  return ShowMerged(list, store);
}

std::string DeleteAll(ReportList* list, MessageStore& store, Dialogs& ask) {
  if (!ask.Confirm("Delete all messages?", TConfirmButtons::YesNo, TDefaultAnswer::No)) return {};
  RemoveAll(list, store);
  return ShowMerged(list, store);
}

}  // namespace storelist
