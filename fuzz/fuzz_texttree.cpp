// The store loader: any bytes as a store file. Loading never crashes; a file in the form
// the program writes comes back byte for byte; whatever loads, saves and loads again to the
// same tree; a damaged file is kept aside and never written over; and a record appended
// after loading is there at the next load.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "InboxStore.h"
#include "OutboxStore.h"
#include "QueueStore.h"
#include "Streams.h"
#include "TextTree.h"

namespace {

template <typename Store>
void loadAndAppend(const std::string& path, std::string_view bytes) {
  corvane::WriteFileAtomically(path, bytes);
  Store store(path);
  const auto report = store.Load();
  for (int r = 0; r < store.Count(); ++r) store.RowAt(r);
  if (!report.failure.empty()) {
    // The damaged file stays until the copy is made; then it may be rewritten.
    FUZZ_CHECK(!report.keptAs.empty());
    FUZZ_CHECK(corvane::ReadFile(report.keptAs) == bytes);
  }
  const int before = store.Count();
  store.AddRecord({{"from"}, {"subject"}, {"h"}, {"b"}, {"a"}, {"x"}});
  store.SaveAdded();
  Store again(path);
  const auto second = again.Load();
  if (report.failure.empty()) FUZZ_CHECK(second.failure.empty());
  FUZZ_CHECK(again.Count() == before + 1);
  FUZZ_CHECK(again.Tree().Serialize() == store.Tree().Serialize());
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

  // Three inputs in eight also go through a store file on disk, in the inbox, outbox or send
  // queue layout: the file round trip costs ten times the parse, and the first byte lets
  // the fuzzer choose it for any content.
  if (size == 0 || data[0] % 8 > 2) return 0;
  const std::string folder = fuzz::ScratchFolder();
  fuzz::EmptyFolder(folder);
  if (data[0] % 8 == 0)
    loadAndAppend<InboxStore>(folder + "mailin.txt", bytes);
  else if (data[0] % 8 == 1)
    loadAndAppend<OutboxStore>(folder + "mailout.txt", bytes);
  else
    readQueue(folder + QueueStore::kFileName, bytes);
  return 0;
}
