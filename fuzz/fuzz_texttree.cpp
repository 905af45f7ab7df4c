// The store loader: any bytes as a store file, or as the deletion journal beside a store.
// Loading never crashes; a file in the form the program writes comes back byte for byte;
// whatever loads, saves and loads again to the same tree; what the store's index reads of
// a file (rows, bytes) is what the text tree reads, and so is what the index file gives
// back at the next load; a damaged file is kept aside and never written over; a record
// appended after loading is there at the next load, and a record deleted is gone from the
// file once compacted; a journal, whatever its bytes, never shows a record the store lacks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "InboxStore.h"
#include "OutboxStore.h"
#include "StoreIndex.h"
#include "QueueStore.h"
#include "Streams.h"
#include "SysUtils.h"
#include "TextTree.h"

namespace {

// The rows the text tree gives for a store's records: sender, subject and the first node
// a row lacks, as the store's own rows are read.
std::vector<std::string> treeRows(const TextTree& tree, int subjectLabel, bool subjectRequired) {
  std::vector<std::string> rows;
  if (tree.Empty()) return rows;
  const TextTree::Node& root = tree.FirstNode();
  for (int r = 0; r < root.Count(); ++r) {
    const TextTree::Node& record = tree.Child(root, r);
    const auto value = [&](int label) -> std::string {
      if (label >= record.Count() || tree.Child(record, label).Count() == 0) return {};
      return std::string(CutListText(TextTree::ChildText(tree.Child(record, label), 0), StoreIndex::kTextBytes));
    };
    const auto lacks = [&](int label) { return label < record.Count() && tree.Child(record, label).Count() == 0; };
    int failure = -1;
    if (record.Count() == 0 || lacks(0))
      failure = 0;
    else if (record.Count() <= subjectLabel)
      failure = subjectLabel;
    else if (subjectRequired && lacks(subjectLabel))
      failure = 0;
    rows.push_back(value(0) + "|" + value(subjectLabel) + "|" + std::to_string(failure));
  }
  return rows;
}

std::vector<std::string> storeRows(const MessageStore& store) {
  std::vector<std::string> rows;
  for (int r = 0; r < store.Count(); ++r) {
    const MessageStore::Row row = store.RowAt(r);
    // The number in "List index out of bounds (%d)".
    const std::string failure = row.Failure.empty() ? "-1" : row.Failure.substr(26, row.Failure.size() - 27);
    rows.push_back(row.From + "|" + row.Subject + "|" + failure);
  }
  return rows;
}

template <typename Store>
void loadAndChange(const std::string& path, std::string_view bytes, const char* root, int subjectLabel,
                   bool subjectRequired, uint8_t pick) {
  corvane::WriteFileAtomically(path, bytes);
  TextTree tree;
  try {
    tree.Parse(bytes);
  } catch (const ETextTreeError&) {
  }
  Store store(path);
  store.SetBackgroundAbove(0);
  const auto report = store.Load();
  FUZZ_CHECK(storeRows(store) == treeRows(tree, subjectLabel, subjectRequired));
  if (tree.Empty()) tree.AddTopLevel(root);
  FUZZ_CHECK(store.Serialized() == tree.Serialize());
  if (!report.failure.empty()) {
    // The damaged file stays until the copy is made; then it may be rewritten.
    FUZZ_CHECK(!report.keptAs.empty());
    FUZZ_CHECK(corvane::ReadFile(report.keptAs) == bytes);
  }
  {
    // The index written at the load gives the same rows and bytes.
    Store indexed(path);
    indexed.Load();
    FUZZ_CHECK(storeRows(indexed) == storeRows(store));
    FUZZ_CHECK(indexed.Serialized() == store.Serialized());
  }
  const int before = store.Count();
  store.AddRecord({{"from"}, {"subject"}, {"h"}, {"b"}, {"a"}, {"x"}});
  store.SaveAdded();
  Store again(path);
  const auto second = again.Load();
  if (report.failure.empty()) FUZZ_CHECK(second.failure.empty());
  FUZZ_CHECK(again.Count() == before + 1);
  FUZZ_CHECK(again.Serialized() == store.Serialized());
  // One record deleted, the file compacted: the tree without that record.
  const int r = pick % again.Count();
  again.Delete(r);
  again.Compact();
  TextTree whole;
  whole.Parse(store.Serialized());
  whole.Delete(whole.Child(whole.FirstNode(), r));
  FUZZ_CHECK(corvane::ReadFile(path) == whole.Serialize());
}

// Bytes as the deletion journal beside a store of three records: only what the store has
// can go, and the file then holds exactly the records shown.
void journalBeside(const std::string& folder, std::string_view bytes) {
  const std::string path = folder + "mailin.txt";
  {
    InboxStore store(path);
    store.Load();
    for (const char* from : {"a", "b", "c"}) store.Store(InboxMessage{from, "s", {}, {"x"}, {}});
  }
  corvane::WriteFileAtomically(path + ".deleted", bytes);
  {
    InboxStore store(path);
    store.SetBackgroundAbove(0);
    FUZZ_CHECK(store.Load().failure.empty());
    FUZZ_CHECK(store.Count() <= 3);
    store.Compact();
    FUZZ_CHECK(corvane::ReadFile(path) == store.Serialized());
  }
  FUZZ_CHECK(!corvane::FileExists(path + ".deleted"));
}

// Reads every line below node as a node, checking its text against the packed one.
void readAsNodes(const TextTree& tree, const TextTree::Node& node) {
  for (int i = 0; i < node.Count(); ++i) {
    const std::string packed(TextTree::ChildText(node, i));
    const TextTree::Node& child = tree.Child(node, i);
    FUZZ_CHECK(child.Text() == packed);
    readAsNodes(tree, child);
  }
}

// Every queue record reads as a message (whatever it lacks or holds), which written back
// in its place reads the same.
void readQueue(const std::string& path, std::string_view bytes) {
  corvane::WriteFileAtomically(path, bytes);
  QueueStore store(path);
  const auto report = store.Load();
  for (int r = 0; r < store.Count(); ++r) {
    store.RowAt(r);
    const QueuedMessage m = store.At(r);
    FUZZ_CHECK(m.Recipients.size() == m.Fields.ToAddress.size());
    const int found = store.Find(m.MessageID);
    FUZZ_CHECK(m.MessageID.empty() ? m.State == QueueState::Held : found >= 0 && found <= r);
  }
  if (store.Count() == 0 || !report.failure.empty()) return;
  const QueuedMessage first = store.At(0);
  store.Put(0, first);
  QueueStore again(path);
  FUZZ_CHECK(again.Load().failure.empty());
  const QueuedMessage back = again.At(0);
  FUZZ_CHECK(back.Fields.ToAddress == first.Fields.ToAddress && back.Fields.Body == first.Fields.Body &&
             back.Fields.Subject == first.Fields.Subject && back.MessageID == first.MessageID &&
             back.References == first.References && back.State == first.State &&
             back.NextAttempt == first.NextAttempt && back.InOutbox == first.InOutbox &&
             back.OutboxBefore == first.OutboxBefore);
  for (size_t i = 0; i < back.Recipients.size(); ++i)
    FUZZ_CHECK(back.Recipients[i].state == first.Recipients[i].state &&
               back.Recipients[i].reply == first.Recipients[i].reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  TextTree tree;
  bool canonical = false;
  bool loaded = true;
  try {
    canonical = tree.Parse(bytes);
  } catch (const ETextTreeError&) {
    loaded = false;
  }
  if (canonical) FUZZ_CHECK(tree.Serialize() == bytes);
  if (loaded) {
    const std::string saved = tree.Serialize();
    TextTree back;
    FUZZ_CHECK(back.Parse(saved));
    FUZZ_CHECK(back.Serialize() == saved);
    // Lines kept packed read the same as nodes, and a copy writes the same bytes.
    TextTree copy;
    for (int t = 0; t < tree.TopCount(); ++t) copy.AddCopy(nullptr, tree.TopNode(t));
    FUZZ_CHECK(copy.Serialize() == saved);
    for (int t = 0; t < back.TopCount(); ++t) readAsNodes(back, back.TopNode(t));
    FUZZ_CHECK(back.Serialize() == saved);
  }

  // Three inputs in eight also go through a file on disk: a store file in the inbox or
  // the outbox layout, or a deletion journal or a send queue: the file round trips cost
  // ten times the parse, and the first bytes let the fuzzer choose the way for any content.
  if (size == 0 || data[0] % 8 > 2) return 0;
  const std::string folder = fuzz::ScratchFolder();
  fuzz::EmptyFolder(folder);
  const uint8_t pick = size > 1 ? data[1] : 0;
  if (data[0] % 8 == 0)
    loadAndChange<InboxStore>(folder + "mailin.txt", bytes, "Received", InboxStore::lbSubject, false, pick);
  else if (data[0] % 8 == 1)
    loadAndChange<OutboxStore>(folder + "mailout.txt", bytes, "Send Mail", OutboxStore::lbSubject, true, pick);
  else if (pick % 2 == 0)
    journalBeside(folder, bytes);
  else
    readQueue(folder + QueueStore::kFileName, bytes);
  return 0;
}
