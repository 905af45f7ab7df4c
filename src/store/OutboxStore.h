#pragma once
// The outbox store "mailout.txt": every sent message as a record with the labels
// "FromAddress", "FromName", "Subject", "ToAddress", "Attachments", "Body". A row shows
// the sender address value and the subject value, both required.
#include <string>
#include <vector>

#include "MessageStore.h"

struct OutboxMessage {
  std::string FromAddress;
  std::string FromName;
  std::string Subject;
  std::vector<std::string> ToAddress;
  std::vector<std::string> Attachments;
  std::vector<std::string> Body;
};

class OutboxStore : public MessageStore {
 public:
  enum Label { lbFromAddress, lbFromName, lbSubject, lbToAddress, lbAttachments, lbBody };

  explicit OutboxStore(std::string path);

  // Adds the message as a new record; SaveAdded writes it, after the list has shown it.
  void Add(const OutboxMessage& message);
};
