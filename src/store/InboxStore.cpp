#include "InboxStore.h"

InboxStore::InboxStore(std::string path)
    : MessageStore(std::move(path), "Received", {"From", "Subject", "header", "body", "attachments"}) {}

void InboxStore::Store(InboxMessage message) {
  // Not a braced list: its elements could only be copied, and a body can be very large.
  std::vector<TLineList> values;
  values.reserve(5);
  values.push_back({std::move(message.From)});
  values.push_back({std::move(message.Subject)});
  values.push_back(std::move(message.Header));
  values.push_back(std::move(message.Body));
  values.push_back(std::move(message.Attachments));
  AddRecord(std::move(values));
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
