#pragma once
// The drop-down lists of the Write Mail page: the address book, the recipients and the
// attachments, each kept as the item list of its box.
#include <string>

class AddressBookFile;
class QComboBox;
struct OutboxMessage;
struct QueuedMessage;
struct TpopformControls;

namespace compose {

// The selected entry of a drop-down box: the current item while the edit part shows it.
// Text typed over it unselects it, as it would in the classic box.
int SelectedEntry(const QComboBox* box);

// The book's entries from its file, when there is one; the first entry selected.
void LoadBook(QComboBox* book, AddressBookFile& file);
// The text of the box as a new first entry, then the book written.
void AddBookEntry(QComboBox* book, AddressBookFile& file);
// The selected entry removed, then the book written.
void DeleteBookEntry(QComboBox* book, AddressBookFile& file);

// The address of the selected book entry as a new recipient.
void AddRecipient(const QComboBox* book, QComboBox* recipients);
void DeleteRecipient(QComboBox* recipients);

// A file's path as a new attachment; the box keeps its selection and its text.
void AddAttachment(QComboBox* attachments, const std::string& path);
// The selected attachment removed; the box keeps showing its path and selects nothing.
void DeleteAttachment(QComboBox* attachments);

// The message the Write Mail page holds, with the sender of the Send group.
OutboxMessage Composed(const TpopformControls& controls);

// What the compose fields carry beyond what they show: the threading of a reply, until
// another message replaces them, and the identity of a queued message taken out for
// editing, which the edited message keeps.
struct Draft {
  std::string messageId;
  std::string date;
  std::string inReplyTo;
  std::string references;
};
QueuedMessage Outgoing(const TpopformControls& controls, const Draft& draft);
// The compose fields showing a queued message; its draft.
Draft ShowQueued(TpopformControls& controls, const QueuedMessage& message);

}  // namespace compose
