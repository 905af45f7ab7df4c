#pragma once
// The inbox store "mailin.txt": every retrieved message as a record with the labels
// "From", "Subject", "header", "body", "attachments".
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
  // The list row of record r: the sender value and the subject value (empty when none).
  Row RowAt(int r) const override;
};
