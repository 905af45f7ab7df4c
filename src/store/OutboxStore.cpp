#include "OutboxStore.h"

OutboxStore::OutboxStore(std::string path)
    : MessageStore(std::move(path), "Send Mail",
                   {"FromAddress", "FromName", "Subject", "ToAddress", "Attachments", "Body"}) {}

void OutboxStore::Add(const OutboxMessage& message) {
  AddRecord({{message.FromAddress},
             {message.FromName},
             {message.Subject},
             message.ToAddress,
             message.Attachments,
             message.Body});
}

OutboxStore::Row OutboxStore::RowAt(int r) const {
  Row row;
  row.From = cell(r, lbFromAddress, row.Failure);
  row.Subject = cell(r, lbSubject, row.Failure);
  return row;
}
