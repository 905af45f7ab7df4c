#include "ComposeLists.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVariant>

#include "AddressBook.h"
#include "Exceptions.h"
#include "OutboxStore.h"
#include "QtText.h"
#include "QueueStore.h"
#include "SysUtils.h"
#include "WindowControls.h"

namespace compose {

namespace {

// Set on the book's box while a "mailbook.txt" that exists has not been read whole.
constexpr const char* kBookUnread = "corvaneBookUnread";

// Writes the list; when the file had been changed behind the window's back the box shows
// the merged book afterwards, first entry selected.
void saveBook(AddressBookFile& file, QComboBox* box) {
  if (box->property(kBookUnread).toBool()) throw EFCreateError("Cannot create file " + file.Path());
  const std::vector<std::string> entries = corvane::GetItems(box);
  const std::vector<std::string> written = file.Save(entries);
  if (written == entries) return;
  corvane::SetItems(box, written);
  if (written.empty())
    corvane::SetText(box, "");
  else
    box->setCurrentIndex(0);
}

// After a deletion the first entry is selected, or the box emptied.
void selectFirst(QComboBox* box) {
  if (box->count() == 0)
    corvane::SetText(box, "");
  else
    box->setCurrentIndex(0);
}

}  // namespace

int SelectedEntry(const QComboBox* box) {
  const int index = box->currentIndex();
  if (index < 0 || box->itemText(index) != box->currentText()) return -1;
  return index;
}

void LoadBook(QComboBox* book, AddressBookFile& file) {
  if (!corvane::FileExists(file.Path())) return;
  // Until the file has been read, saving the list would replace entries nobody has seen.
  book->setProperty(kBookUnread, true);
  corvane::SetItems(book, file.Load());
  book->setProperty(kBookUnread, false);
  if (book->count() > 0) book->setCurrentIndex(0);
}

void AddBookEntry(QComboBox* book, AddressBookFile& file) {
  const std::string entry = AddressBook::Entry(corvane::GetText(book));
  if (book->count() > 0)
    corvane::InsertItem(book, 0, entry);
  else
    corvane::AddItem(book, entry);
  book->setCurrentIndex(0);
  saveBook(file, book);
}

void DeleteBookEntry(QComboBox* book, AddressBookFile& file) {
  const int index = SelectedEntry(book);
  if (index >= 0) book->removeItem(index);
  selectFirst(book);
  saveBook(file, book);
}

void AddRecipient(const QComboBox* book, QComboBox* recipients) {
  const int index = SelectedEntry(book);
  const std::string name = index < 0 ? std::string() : AddressBook::NameOf(corvane::ItemText(book, index));
  corvane::AddItem(recipients, AddressBook::Lookup(corvane::GetItems(book), name));
  if (recipients->count() > 0) recipients->setCurrentIndex(0);
}

void DeleteRecipient(QComboBox* recipients) {
  const int index = SelectedEntry(recipients);
  if (index >= 0) recipients->removeItem(index);
  selectFirst(recipients);
}

void AddAttachment(QComboBox* attachments, const std::string& path) {
  const int index = attachments->currentIndex();
  const QString text = attachments->currentText();
  corvane::AddItem(attachments, path);
  attachments->setCurrentIndex(index);
  attachments->setEditText(text);
}

void DeleteAttachment(QComboBox* attachments) {
  const int index = SelectedEntry(attachments);
  if (index < 0) return;
  const QString text = attachments->currentText();
  attachments->removeItem(index);
  attachments->setCurrentIndex(-1);
  attachments->setEditText(text);
}

OutboxMessage Composed(const TpopformControls& c) {
  OutboxMessage message;
  message.FromAddress = corvane::GetText(c.localemail);
  message.FromName = corvane::GetText(c.localname);
  message.Subject = corvane::GetText(c.outsubject);
  message.ToAddress = corvane::GetItems(c.mailto);
  message.Attachments = corvane::GetItems(c.outattach);
  message.Body = corvane::GetMemoLines(c.outbody);
  return message;
}

QueuedMessage Outgoing(const TpopformControls& controls, const Draft& draft) {
  QueuedMessage message;
  message.Fields = Composed(controls);
  message.MessageID = draft.messageId;
  message.Date = draft.date;
  message.InReplyTo = draft.inReplyTo;
  message.References = draft.references;
  return message;
}

Draft ShowQueued(TpopformControls& c, const QueuedMessage& message) {
  corvane::SetItems(c.mailto, message.Fields.ToAddress);
  if (c.mailto->count() > 0) c.mailto->setCurrentIndex(0);
  corvane::SetItems(c.outattach, message.Fields.Attachments);
  if (c.outattach->count() > 0) c.outattach->setCurrentIndex(0);
  corvane::SetText(c.outsubject, message.Fields.Subject);
  corvane::SetMemoLines(c.outbody, message.Fields.Body);
  return {message.MessageID, message.Date, message.InReplyTo, message.References};
}

}  // namespace compose
