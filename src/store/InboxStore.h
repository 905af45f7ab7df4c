#pragma once
// The inbox store "mailin.txt": every retrieved message as a record with the labels
// "From", "Subject", "header", "body", "attachments". A row shows the sender value and the
// subject value (empty when there is none) and keeps the header's Date value.
#include <string>
#include <vector>

#include "MessageStore.h"

struct InboxMessage {
  std::string From;
  std::string Subject;
  std::vector<std::string> Header;
  TLineList Body;  // packed: a body can have millions of lines
  std::vector<std::string> Attachments;
};

class InboxStore : public MessageStore {
 public:
  enum Label { lbFrom, lbSubject, lbHeader, lbBody, lbAttachments };

  explicit InboxStore(std::string path);

  // Appends the message as a new record and writes it to the file.
  void Store(InboxMessage message);
  // Replaces record r by the message and writes the store whole.
  void Replace(int r, InboxMessage message);
};
