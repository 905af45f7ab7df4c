#include "InboxStore.h"

InboxStore::InboxStore(std::string path)
    : MessageStore(std::move(path), "Received", {"From", "Subject", "header", "body", "attachments"},
                   RowLabels{lbFrom, lbSubject, false, lbHeader}) {}

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
