#include "InboxStore.h"

#include "SeenIds.h"

namespace {

// The unique-id state beside the store.
std::string seenIdsBeside(const std::string& path) {
  return path.substr(0, path.find_last_of('/') + 1) + SeenIds::kFileName;
}

}  // namespace

InboxStore::InboxStore(std::string path)
    : MessageStore(std::move(path), "Received", {"From", "Subject", "header", "body", "attachments"},
                   RowLabels{lbFrom, lbSubject, false, lbHeader}) {
  // A receive session commits its batch by writing the ids of what it stored.
  const std::string ids = seenIdsBeside(Path());
  SetBatchWitness([ids](const std::string& token) { return SeenIds::Committed(ids, token); });
  // A record deleted here is what a server keeping mail until then must delete too.
  OnDeleted = [ids](const std::vector<uint64_t>& hashes) { SeenIds::MarkDeleted(ids, hashes); };
}

namespace {

// Not a braced list: its elements could only be copied, and a body can be very large.
std::vector<TLineList> valuesOf(InboxMessage message) {
  std::vector<TLineList> values;
  values.reserve(5);
  values.push_back({std::move(message.From)});
  values.push_back({std::move(message.Subject)});
  values.push_back(std::move(message.Header));
  values.push_back(std::move(message.Body));
  values.push_back(std::move(message.Attachments));
  return values;
}

}  // namespace

void InboxStore::Store(InboxMessage message) {
  AddRecord(valuesOf(std::move(message)));
  SaveAdded();
}

void InboxStore::Replace(int r, InboxMessage message) {
  ReplaceRecord(r, valuesOf(std::move(message)));
}
