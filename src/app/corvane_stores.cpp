// The inbox store, the outbox store and the address book of the window. The stores live in
// InboxStore/OutboxStore beside the window; the lists are views of them, row r showing
// record r.
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeWidget>

#include "AddressBook.h"
#include "InboxStore.h"
#include "InstanceLock.h"
#include "OutboxStore.h"
#include "QtText.h"
#include "Streams.h"
#include "StringList.h"
#include "SysUtils.h"
#include "corvane.h"

namespace {

// The selected row of a report list, or -1.
int selectedRow(const QTreeWidget* list) {
  QTreeWidgetItem* item = list->currentItem();
  if (!item || !item->isSelected()) return -1;
  return list->indexOfTopLevelItem(item);
}

// The selected entry of a drop-down box: the current item while the edit part shows it.
// Text typed over it unselects it, as it would in the classic box.
int selectedEntry(const QComboBox* box) {
  const int index = box->currentIndex();
  if (index < 0 || box->itemText(index) != box->currentText()) return -1;
  return index;
}

// Shows the newest row; after a load nothing is selected, as in a list built anew.
void showNewest(QTreeWidget* list) {
  if (list->topLevelItemCount() > 0) list->scrollToItem(list->topLevelItem(list->topLevelItemCount() - 1));
}

// Adds rows for records from..Count()-1 in one go; returns the first row's failure text.
template <typename Store>
std::string addRows(QTreeWidget* list, const Store& store, int from) {
  std::string failure;
  QList<QTreeWidgetItem*> items;
  items.reserve(store.Count() - from);
  for (int r = from; r < store.Count(); ++r) {
    const auto row = store.RowAt(r);
    if (failure.empty()) failure = row.Failure;
    auto* item = new QTreeWidgetItem;
    item->setText(0, corvane::ToQString(row.From));
    item->setText(1, corvane::ToQString(row.Subject));
    items.append(item);
  }
  list->addTopLevelItems(items);
  return failure;
}

// A full rebuild shows every row it can and then reports the first damaged record.
template <typename Store>
void rebuildList(QTreeWidget* list, const Store& store) {
  list->clear();
  const std::string failure = addRows(list, store, 0);
  showNewest(list);
  if (!failure.empty()) throw EListError(failure);
}

// After a record was appended only the missing rows are added (damaged older records were
// reported when their rows were built). The new row, the message now on display, becomes
// the selected one, so that Reply and Delete never act on an older row the user no longer
// sees.
template <typename Store>
void catchUpList(QTreeWidget* list, const Store& store) {
  if (list->topLevelItemCount() > store.Count()) list->clear();
  addRows(list, store, list->topLevelItemCount());
  const int newest = list->topLevelItemCount() - 1;
  if (newest < 0) return;
  list->setCurrentItem(list->topLevelItem(newest));
  showNewest(list);
}

// Set on selectaddr while a "mailbook.txt" that exists has not been read whole.
constexpr const char* kBookUnread = "corvaneBookUnread";

// Removes a row and leaves nothing selected, so a second Delete cannot hit the next message.
void removeRow(QTreeWidget* list, int row) {
  delete list->takeTopLevelItem(row);
  list->setCurrentItem(nullptr);
  list->clearSelection();
}

// After a save that merged a change made behind the window's back, the rows of the
// list no longer match the records: they are built anew. True when that happened.
template <typename Store>
bool showMerged(Tpopform& form, QTreeWidget* list, Store& store) {
  if (!store.TakeMerged()) return false;
  list->clear();
  addRows(list, store, 0);
  form.setStatus(corvane::ExtractFileName(store.Path()) + " was changed by another program; both changes were kept");
  return true;
}

// Delete on a store list: the selected record goes, without a question.
template <typename Store>
void deleteSelected(Tpopform& form, QTreeWidget* list, Store& store) {
  const int r = selectedRow(list);
  if (r < 0) return;
  removeRow(list, r);
  store.Delete(r);
  showMerged(form, list, store);
}

// Delete All on a store list, after the user said Yes; the root stays.
template <typename Store>
void deleteAll(Tpopform& form, QTreeWidget* list, Store& store) {
  if (!form.dialogs.Confirm("Delete all messages?", TConfirmButtons::YesNo)) return;
  list->clear();
  store.DeleteAll();
  showMerged(form, list, store);
}

// The value under a label, failing as the tree does when the record lacks it.
std::string requiredFirstValue(const MessageStore& store, int r, int label) {
  const auto& tree = store.Tree();
  return std::string(TextTree::ChildText(tree.Child(store.Record(r), label), 0));
}

}  // namespace

InboxStore& Tpopform::inboxStore() {
  if (!inboxStore_) inboxStore_ = std::make_shared<InboxStore>(inboxStorePath);
  return *inboxStore_;
}

OutboxStore& Tpopform::outboxStore() {
  if (!outboxStore_) outboxStore_ = std::make_shared<OutboxStore>(appFolder + "mailout.txt");
  return *outboxStore_;
}

// ---- start-up ------------------------------------------------------------------------

bool Tpopform::lockFolder() {
  instanceLock_ = std::make_unique<InstanceLock>(appFolder);
  if (instanceLock_->state() != InstanceLock::State::Busy) return true;
  refused_ = true;
  setEnabled(false);
  const long pid = instanceLock_->HolderPid();
  dialogs.ShowError(corvane::Format(
      "Corvane is already running in %s%s. Its mail stores take one program at a time: use the window that is "
      "open, or close it and start Corvane again. This one ends now.",
      appFolder.c_str(), pid > 0 ? corvane::Format(" (process %ld)", pid).c_str() : ""));
  return false;
}

void Tpopform::loadInboxStore() {
  inboxStore_ = std::make_shared<InboxStore>(inboxStorePath);
  const auto report = inboxStore_->Load();
  // The list shows what could be read even when the file was damaged.
  pophistlist->clear();
  addRows(pophistlist, *inboxStore_, 0);
  showNewest(pophistlist);
  if (!report.failure.empty()) throw Exception(report.Message());
}

void Tpopform::loadAddressBook() {
  addressBook_ = std::make_shared<AddressBookFile>(appFolder + "mailbook.txt");
  if (!corvane::FileExists(addressBook_->Path())) return;
  // Until the file has been read, saving the list would replace entries nobody has seen.
  selectaddr->setProperty(kBookUnread, true);
  corvane::SetItems(selectaddr, addressBook_->Load());
  selectaddr->setProperty(kBookUnread, false);
  if (selectaddr->count() > 0) selectaddr->setCurrentIndex(0);
}

void Tpopform::loadOutboxStore() {
  outboxStore_ = std::make_shared<OutboxStore>(appFolder + "mailout.txt");
  const auto report = outboxStore_->Load();
  sendhistlist->clear();
  addRows(sendhistlist, *outboxStore_, 0);
  showNewest(sendhistlist);
  if (!report.failure.empty()) throw Exception(report.Message());
}

// ---- inbox ------------------------------------------------------------------------------

void Tpopform::popsaveClick() {
  InboxMessage message;
  message.From = corvane::GetText(popfrom);
  message.Subject = corvane::GetText(popsubject);
  message.Header = corvane::GetMemoLines(popmsgheader);
  message.Body = shownBodyLines();
  message.Attachments = corvane::GetItems(popatt);
  storeReceived(std::move(message));
}

void Tpopform::storeReceived(InboxMessage message) {
  inboxStore().Store(std::move(message));
  if (showMerged(*this, pophistlist, inboxStore())) {
    forgetCutBody();
    return;
  }
  // Inside the receive loop the row is added at once, but selecting and scrolling to it
  // lays out the whole list: that waits for the end of the loop (selectNewestRow). The
  // list is shown a few times a second there (receiveAll paces it).
  if (receiving_) {
    if (pophistlist->topLevelItemCount() > inboxStore().Count()) pophistlist->clear();
    addRows(pophistlist, inboxStore(), pophistlist->topLevelItemCount());
  } else {
    catchUpList(pophistlist, inboxStore());
  }
}

void Tpopform::selectNewestRow() {
  catchUpList(pophistlist, inboxStore());
}

void Tpopform::makepophistClick() {
  rebuildList(pophistlist, inboxStore());
}

void Tpopform::pophistlistDblClick() {
  const int r = selectedRow(pophistlist);
  if (r < 0) return;
  const InboxStore& store = inboxStore();
  const size_t lines = static_cast<size_t>(store.ValueCount(r, InboxStore::lbBody));
  const std::vector<std::string> shown = store.FirstValues(r, InboxStore::lbBody, corvane::kMemoShownBytes);
  corvane::ShowBody(popmsgbody, shown, lines);
  cutBodyRow_ = shown.size() < lines ? r : kBodyWhole;
  corvane::SetItems(popatt, store.Values(r, InboxStore::lbAttachments));
}

void Tpopform::Delete1Click() {
  deleteSelected(*this, pophistlist, inboxStore());
  forgetCutBody();
}

void Tpopform::DeleteAll1Click() {
  deleteAll(*this, pophistlist, inboxStore());
  forgetCutBody();
}

void Tpopform::SaveInMessageAs1Click() {
  // Checked before the dialog: a body that is not at hand must not cost the user a file name.
  if (cutBodyRow_ == kBodyNotStored) shownBodyLines();
  if (!dialogs.ExecuteSave(SaveDialog1)) return;
  corvane::ReplaceFileContents(SaveDialog1.FileName, shownBodyText());
}

void Tpopform::forgetCutBody() {
  // Rows may have moved: the record can no longer be found by its place.
  if (cutBodyRow_ >= 0) cutBodyRow_ = kBodyNotStored;
}

TLineList Tpopform::shownBodyLines() {
  if (cutBodyRow_ == kBodyWhole) return corvane::GetMemoLines(popmsgbody);
  if (cutBodyRow_ == kBodyNotStored)
    throw Exception("Only the beginning of this message is shown, and the inbox store does not hold the rest");
  return inboxStore().ValueLines(cutBodyRow_, InboxStore::lbBody);
}

std::string Tpopform::shownBodyText() {
  if (cutBodyRow_ == kBodyWhole) return corvane::GetMemoText(popmsgbody);
  return shownBodyLines().Text();
}

void Tpopform::mailreplyClick() {
  const int r = selectedRow(pophistlist);
  if (r < 0) return;
  InboxStore& store = inboxStore();
  corvane::SetItems(mailto, {requiredFirstValue(store, r, InboxStore::lbFrom)});
  mailto->setCurrentIndex(0);
  std::string subject;
  if (store.FirstValue(r, InboxStore::lbSubject, subject)) corvane::SetText(outsubject, subject);
  corvane::SetMemoLines(outbody, store.Values(r, InboxStore::lbBody));
  mailbinder->setCurrentIndex(2);
}

// ---- outbox -----------------------------------------------------------------------------

void Tpopform::outsaveClick() {
  OutboxMessage message;
  message.FromAddress = corvane::GetText(localemail);
  message.FromName = corvane::GetText(localname);
  message.Subject = corvane::GetText(outsubject);
  message.ToAddress = corvane::GetItems(mailto);
  message.Attachments = corvane::GetItems(outattach);
  message.Body = corvane::GetMemoLines(outbody);
  OutboxStore& store = outboxStore();
  store.Add(message);
  catchUpList(sendhistlist, store);
  store.SaveAdded();
  showMerged(*this, sendhistlist, store);
}

void Tpopform::makehistlistClick() {
  rebuildList(sendhistlist, outboxStore());
}

void Tpopform::sendhistlistDblClick() {
  const int r = selectedRow(sendhistlist);
  if (r < 0) return;
  OutboxStore& store = outboxStore();
  corvane::SetItems(mailto, store.Values(r, OutboxStore::lbToAddress));
  if (mailto->count() > 0) mailto->setCurrentIndex(0);
  corvane::SetItems(outattach, store.Values(r, OutboxStore::lbAttachments));
  if (outattach->count() > 0) outattach->setCurrentIndex(0);
  corvane::SetMemoLines(outbody, store.Values(r, OutboxStore::lbBody));
  std::string subject;
  if (store.FirstValue(r, OutboxStore::lbSubject, subject)) corvane::SetText(outsubject, subject);
}

void Tpopform::MenuItem1Click() {
  deleteSelected(*this, sendhistlist, outboxStore());
}

void Tpopform::MenuItem2Click() {
  deleteAll(*this, sendhistlist, outboxStore());
}

void Tpopform::LoadOutMessage1Click() {
  if (!dialogs.ExecuteOpen(OpenDialog1)) return;
  TStringList lines;
  lines.SetText(corvane::ReadFile(OpenDialog1.FileName));
  corvane::SetMemoLines(outbody, lines.Items());
}

// ---- address book and the compose lists --------------------------------------------------

namespace {
// Writes the list; when the file had been changed behind the window's back the box shows
// the merged book afterwards, first entry selected.
void saveBook(AddressBookFile& book, QComboBox* box) {
  if (box->property(kBookUnread).toBool()) throw EFCreateError("Cannot create file " + book.Path());
  const std::vector<std::string> entries = corvane::GetItems(box);
  const std::vector<std::string> written = book.Save(entries);
  if (written == entries) return;
  corvane::SetItems(box, written);
  if (written.empty())
    corvane::SetText(box, "");
  else
    box->setCurrentIndex(0);
}
}  // namespace

AddressBookFile& Tpopform::addressBook() {
  if (!addressBook_) addressBook_ = std::make_shared<AddressBookFile>(appFolder + "mailbook.txt");
  return *addressBook_;
}

void Tpopform::addnewaddrClick() {
  const std::string entry = AddressBook::Entry(corvane::GetText(selectaddr));
  if (selectaddr->count() > 0)
    corvane::InsertItem(selectaddr, 0, entry);
  else
    corvane::AddItem(selectaddr, entry);
  selectaddr->setCurrentIndex(0);
  saveBook(addressBook(), selectaddr);
}

void Tpopform::deladdrClick() {
  const int index = selectedEntry(selectaddr);
  if (index >= 0) selectaddr->removeItem(index);
  if (selectaddr->count() == 0)
    corvane::SetText(selectaddr, "");
  else
    selectaddr->setCurrentIndex(0);
  saveBook(addressBook(), selectaddr);
}

void Tpopform::addmailtoClick() {
  const int index = selectedEntry(selectaddr);
  const std::string name = index < 0 ? std::string() : AddressBook::NameOf(corvane::ItemText(selectaddr, index));
  corvane::AddItem(mailto, AddressBook::Lookup(corvane::GetItems(selectaddr), name));
  if (mailto->count() > 0) mailto->setCurrentIndex(0);
}

void Tpopform::delmailtoClick() {
  const int index = selectedEntry(mailto);
  if (index >= 0) mailto->removeItem(index);
  if (mailto->count() == 0)
    corvane::SetText(mailto, "");
  else
    mailto->setCurrentIndex(0);
}

void Tpopform::addattClick() {
  if (!dialogs.ExecuteOpen(OpenDialog1)) return;
  // Adding an item must not select it: the box keeps its selection and its text.
  const int index = outattach->currentIndex();
  const QString text = outattach->currentText();
  corvane::AddItem(outattach, OpenDialog1.FileName);
  outattach->setCurrentIndex(index);
  outattach->setEditText(text);
}

void Tpopform::delattClick() {
  const int index = selectedEntry(outattach);
  if (index < 0) return;
  // The box keeps showing the deleted path and selects nothing.
  const QString text = outattach->currentText();
  outattach->removeItem(index);
  outattach->setCurrentIndex(-1);
  outattach->setEditText(text);
}
