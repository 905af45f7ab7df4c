// The inbox store, the outbox store and the address book of the window. The lists are
// views of the stores, row r showing record r.
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
#include "ReceiveSession.h"
#include "StoreList.h"
#include "Streams.h"
#include "StringList.h"
#include "SysUtils.h"
#include "corvane.h"

namespace {

// The selected entry of a drop-down box: the current item while the edit part shows it.
// Text typed over it unselects it, as it would in the classic box.
int selectedEntry(const QComboBox* box) {
  const int index = box->currentIndex();
  if (index < 0 || box->itemText(index) != box->currentText()) return -1;
  return index;
}

// Set on selectaddr while a "mailbook.txt" that exists has not been read whole.
constexpr const char* kBookUnread = "corvaneBookUnread";

// After a save that merged a change made behind the window's back, the list is built anew
// and the status bar says so. True when that happened.
bool showMerged(Tpopform& form, QTreeWidget* list, MessageStore& store) {
  const std::string text = storelist::ShowMerged(list, store);
  if (!text.empty()) form.setStatus(text);
  return !text.empty();
}

// Delete on a store list: the selected record goes, without a question.
void deleteSelected(Tpopform& form, QTreeWidget* list, MessageStore& store) {
  const int r = storelist::SelectedRow(list);
  if (r < 0) return;
  storelist::RemoveRow(list, r);
  store.Delete(r);
  showMerged(form, list, store);
}

// Delete All on a store list, after the user said Yes; the root stays.
void deleteAll(Tpopform& form, QTreeWidget* list, MessageStore& store) {
  if (!form.dialogs.Confirm("Delete all messages?", TConfirmButtons::YesNo)) return;
  list->clear();
  store.DeleteAll();
  showMerged(form, list, store);
}

// The value under a label, failing as the tree does when the record lacks it.
std::string requiredFirstValue(const MessageStore& store, int r, int label) {
  return std::string(TextTree::ChildText(store.Tree().Child(store.Record(r), label), 0));
}

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

InboxStore& Tpopform::inboxStore() {
  if (!inboxStore_) inboxStore_ = std::make_shared<InboxStore>(inboxStorePath);
  return *inboxStore_;
}

OutboxStore& Tpopform::outboxStore() {
  if (!outboxStore_) outboxStore_ = std::make_shared<OutboxStore>(appFolder + "mailout.txt");
  return *outboxStore_;
}

AddressBookFile& Tpopform::addressBook() {
  if (!addressBook_) addressBook_ = std::make_shared<AddressBookFile>(appFolder + "mailbook.txt");
  return *addressBook_;
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

void Tpopform::loadStore(QTreeWidget* list, MessageStore& store) {
  const MessageStore::LoadReport report = store.Load();
  storelist::Fill(list, store);
  if (!report.failure.empty()) throw Exception(report.Message());
}

void Tpopform::loadInboxStore() {
  inboxStore_ = std::make_shared<InboxStore>(inboxStorePath);
  loadStore(pophistlist, *inboxStore_);
}

void Tpopform::loadOutboxStore() {
  outboxStore_ = std::make_shared<OutboxStore>(appFolder + "mailout.txt");
  loadStore(sendhistlist, *outboxStore_);
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

// ---- inbox ------------------------------------------------------------------------------

void Tpopform::popsaveClick() {
  InboxMessage message;
  message.From = corvane::GetText(popfrom);
  message.Subject = corvane::GetText(popsubject);
  message.Header = corvane::GetMemoLines(popmsgheader);
  message.Body = shownBodyLines();
  message.Attachments = corvane::GetItems(popatt);
  inboxStore().Store(std::move(message));
  Stored();
}

void Tpopform::Stored() {
  if (showMerged(*this, pophistlist, inboxStore())) {
    forgetCutBody();
    return;
  }
  // Inside the receive loop the row is added at once, but selecting and scrolling to it
  // lays out the whole list: that waits for the end of the loop (ShowReceived). The list
  // is shown a few times a second there.
  if (receive_ && receive_->Receiving()) {
    if (pophistlist->topLevelItemCount() > inboxStore().Count()) pophistlist->clear();
    storelist::AddRows(pophistlist, inboxStore(), pophistlist->topLevelItemCount());
  } else {
    storelist::CatchUp(pophistlist, inboxStore());
  }
}

void Tpopform::ShowReceived(const InboxMessage& shown, size_t bodyLines, int row) {
  // Scrolling to the newest row needs the list laid out with all its rows.
  pophistlist->SetPaced(false);
  storelist::CatchUp(pophistlist, inboxStore());
  corvane::SetText(popfrom, shown.From);
  corvane::SetText(popsubject, shown.Subject);
  corvane::SetMemoLines(popmsgheader, shown.Header);
  corvane::ShowBody(popmsgbody, shown.Body.Items(), bodyLines);
  const bool cut = static_cast<size_t>(shown.Body.Count()) < bodyLines;
  cutBodyRow_ = !cut ? kBodyWhole : row < 0 ? kBodyNotStored : row;
  corvane::SetItems(popatt, shown.Attachments);
}

void Tpopform::makepophistClick() {
  storelist::Rebuild(pophistlist, inboxStore());
}

void Tpopform::pophistlistDblClick() {
  const int r = storelist::SelectedRow(pophistlist);
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
  const int r = storelist::SelectedRow(pophistlist);
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
  storelist::CatchUp(sendhistlist, store);
  store.SaveAdded();
  showMerged(*this, sendhistlist, store);
}

void Tpopform::makehistlistClick() {
  storelist::Rebuild(sendhistlist, outboxStore());
}

void Tpopform::sendhistlistDblClick() {
  const int r = storelist::SelectedRow(sendhistlist);
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
