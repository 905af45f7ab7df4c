// The inbox store, the outbox store and the address book of the window. The lists are
// views of the stores, row r showing record r.
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>

#include "AddressBook.h"
#include "ComposeLists.h"
#include "InboxStore.h"
#include "InstanceLock.h"
#include "OutboxStore.h"
#include "QtText.h"
#include "ReceiveSession.h"
#include "ReplyThread.h"
#include "ReportList.h"
#include "StoreList.h"
#include "StoreLoader.h"
#include "Streams.h"
#include "StringList.h"
#include "SysUtils.h"
#include "corvane.h"

namespace {

// After a save that merged a change made behind the window's back, the list is built anew
// and the status bar says so (text). True when that happened.
bool showMerged(Tpopform& form, const std::string& text) {
  if (!text.empty()) form.setStatus(text);
  return !text.empty();
}
}  // namespace

// A store still being read is waited for.
InboxStore& Tpopform::inboxStore() {
  if (!inboxStore_) inboxStore_ = std::make_shared<InboxStore>(inboxStorePath);
  storeLoader_->Wait(inboxStore_.get());
  return *inboxStore_;
}

OutboxStore& Tpopform::outboxStore() {
  if (!outboxStore_) outboxStore_ = std::make_shared<OutboxStore>(appFolder + "mailout.txt");
  storeLoader_->Wait(outboxStore_.get());
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

void Tpopform::loadStore(ReportList* list, const std::shared_ptr<MessageStore>& store) {
  list->Rows()->Show(nullptr);
  storeLoader_->Load(store, [this, list, store](const MessageStore::LoadReport& report) {
    storelist::Fill(list, *store);
    if (!report.failure.empty()) showFailure(Exception(report.Message()));
  });
}

// A store loaded again is read anew; a second load follows the first.
void Tpopform::loadInboxStore() {
  inboxStore();
  loadStore(pophistlist, inboxStore_);
}

void Tpopform::loadOutboxStore() {
  outboxStore();
  loadStore(sendhistlist, outboxStore_);
}

void Tpopform::loadAddressBook() {
  addressBook_ = std::make_shared<AddressBookFile>(appFolder + "mailbook.txt");
  compose::LoadBook(selectaddr, *addressBook_);
}

// ---- inbox ------------------------------------------------------------------------------

void Tpopform::popsaveClick() {
  inboxStore().Store(pane_.Current(inboxStore()));
  Stored();
}

void Tpopform::Stored() {
  if (showMerged(*this, storelist::ShowMerged(pophistlist, inboxStore()))) {
    pane_.ForgetRecord();
    return;
  }
  // Inside the receive loop the row is added at once, but selecting and scrolling to it
  // lays out the whole list: that waits for the end of the loop (ShowReceived). The list
  // is shown a few times a second there.
  (receive_ && receive_->Receiving()) ? storelist::AddRows(pophistlist) : storelist::CatchUp(pophistlist);
}

void Tpopform::ShowReceived(const InboxMessage& shown, size_t bodyLines, int row) {
  // Scrolling to the newest row needs the list laid out with all its rows.
  pophistlist->SetPaced(false);
  storelist::CatchUp(pophistlist);
  pane_.ShowReceived(shown, bodyLines, row);
}

void Tpopform::makepophistClick() {
  storelist::Rebuild(pophistlist, inboxStore());
}

void Tpopform::pophistlistDblClick() {
  const int r = storelist::SelectedRow(pophistlist);
  if (r >= 0) pane_.ShowStored(inboxStore(), r);
}

void Tpopform::Delete1Click() {
  showMerged(*this, storelist::DeleteSelected(pophistlist, inboxStore()));
  pane_.ForgetRecord();
}

void Tpopform::DeleteAll1Click() {
  showMerged(*this, storelist::DeleteAll(pophistlist, inboxStore(), dialogs));
  pane_.ForgetRecord();
}

void Tpopform::SaveInMessageAs1Click() {
  // Checked before the dialog: a body that is not at hand must not cost the user a file name.
  pane_.RequireWholeBody();
  if (!dialogs.ExecuteSave(SaveDialog1)) return;
  corvane::ReplaceFileContents(SaveDialog1.FileName, pane_.BodyText(inboxStore()));
}

void Tpopform::mailreplyClick() {
  const int r = storelist::SelectedRow(pophistlist);
  if (r < 0) return;
  InboxStore& store = inboxStore();
  corvane::SetItems(mailto, {store.RequiredFirstValue(r, InboxStore::lbFrom)});
  mailto->setCurrentIndex(0);
  std::string subject;
  if (store.FirstValue(r, InboxStore::lbSubject, subject)) corvane::SetText(outsubject, subject);
  corvane::SetMemoLines(outbody, store.Values(r, InboxStore::lbBody));
  const mime::ReplyThread thread = mime::ThreadOfReply(store.Values(r, InboxStore::lbHeader));
  draft_ = {{}, {}, thread.inReplyTo, thread.references};
  mailbinder->setCurrentIndex(2);
}

// ---- outbox -----------------------------------------------------------------------------

void Tpopform::outsaveClick() {
  recordSent(compose::Composed(*this));
}

void Tpopform::recordSent(const OutboxMessage& message) {
  OutboxStore& store = outboxStore();
  store.Add(message);
  storelist::CatchUp(sendhistlist);
  store.SaveAdded();
  showMerged(*this, storelist::ShowMerged(sendhistlist, store));
}

void Tpopform::makehistlistClick() {
  storelist::Rebuild(sendhistlist, outboxStore());
}

void Tpopform::sendhistlistDblClick() {
  const int r = storelist::SelectedRow(sendhistlist);
  if (r < 0) return;
  // Sent again as a message of its own, not as a reply.
  draft_ = {};
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
  showMerged(*this, storelist::DeleteSelected(sendhistlist, outboxStore()));
}

void Tpopform::MenuItem2Click() {
  showMerged(*this, storelist::DeleteAll(sendhistlist, outboxStore(), dialogs));
}

void Tpopform::LoadOutMessage1Click() {
  if (!dialogs.ExecuteOpen(OpenDialog1)) return;
  TStringList lines;
  lines.SetText(corvane::ReadFile(OpenDialog1.FileName));
  corvane::SetMemoLines(outbody, lines.Items());
}

// ---- address book and the compose lists --------------------------------------------------

void Tpopform::addattClick() {
  if (dialogs.ExecuteOpen(OpenDialog1)) compose::AddAttachment(outattach, OpenDialog1.FileName);
}
