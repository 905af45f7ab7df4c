#include "InboxStore.h"

InboxStore::InboxStore(std::string path)
    : MessageStore(std::move(path), "Received", {"From", "Subject", "header", "body", "attachments"}) {}

void InboxStore::Store(InboxMessage message) {
  AddRecord({{std::move(message.From)},
             {std::move(message.Subject)},
             std::move(message.Header),
             std::move(message.Body),
             std::move(message.Attachments)});
  SaveAdded();
}

InboxStore::Row InboxStore::RowAt(int r) const {
  Row row;
  row.From = cell(r, lbFrom, row.Failure);
  // The subject value is optional, but a record without the subject label is damaged.
  if (Record(r).Count() <= lbSubject) {
    if (row.Failure.empty()) row.Failure = "List index out of bounds (1)";
  } else {
    FirstValue(r, lbSubject, row.Subject);
  }
  return row;
}
