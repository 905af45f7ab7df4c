#include "OutboxStore.h"

OutboxStore::OutboxStore(std::string path)
    : MessageStore(std::move(path), "Send Mail",
                   {"FromAddress", "FromName", "Subject", "ToAddress", "Attachments", "Body"},
                   RowLabels{lbFromAddress, lbSubject, true, -1}) {}

void OutboxStore::Add(const OutboxMessage& message) {
  AddRecord({{message.FromAddress},
             {message.FromName},
             {message.Subject},
             message.ToAddress,
             message.Attachments,
             message.Body});
}
