#include "MessageStore.h"

#include "Streams.h"
#include "SysUtils.h"

std::string MessageStore::LoadReport::Message() const {
  if (keptAs.empty()) return failure;
  return failure + "; the store file was kept as " + keptAs;
}

MessageStore::MessageStore(std::string path, std::string rootText, std::vector<std::string> labels)
    : file_(std::move(path)), rootText_(std::move(rootText)), labels_(std::move(labels)) {
  tree_.AddTopLevel(rootText_);
}

MessageStore::LoadReport MessageStore::Load() {
  LoadReport report;
  try {
    report.found = file_.Load(tree_);
  } catch (const ETextTreeError& e) {
    report.found = true;
    report.failure = e.Message();
  }
  if (tree_.Empty()) {
    tree_.AddTopLevel(rootText_);
    file_.MarkStale();
  }
  rememberBase();
  for (int r = 0; report.failure.empty() && r < Count(); ++r) report.failure = RowAt(r).Failure;
  if (report.failure.empty() || !report.found) return report;
  try {
    report.keptAs = file_.PreserveDamaged();
  } catch (const std::exception& e) {
    // The store file then stays as it is for this run: no save may replace it.
    report.failure += std::string("; ") + e.what();
  }
  return report;
}

int MessageStore::Count() const {
  return tree_.FirstNode().Count();
}

TextTree::Node& MessageStore::Record(int r) const {
  return tree_.Child(tree_.FirstNode(), r);
}

std::vector<std::string> MessageStore::Values(int r, int label) const {
  const TextTree::Node& node = tree_.Child(Record(r), label);
  std::vector<std::string> values;
  values.reserve(static_cast<size_t>(node.Count()));
  for (int i = 0; i < node.Count(); ++i) values.emplace_back(TextTree::ChildText(node, i));
  return values;
}

TLineList MessageStore::ValueLines(int r, int label) const {
  const TextTree::Node& node = tree_.Child(Record(r), label);
  TLineList values;
  for (int i = 0; i < node.Count(); ++i) values.Add(TextTree::ChildText(node, i));
  return values;
}

int MessageStore::ValueCount(int r, int label) const {
  return tree_.Child(Record(r), label).Count();
}

std::vector<std::string> MessageStore::FirstValues(int r, int label, size_t maxBytes) const {
  const TextTree::Node& node = tree_.Child(Record(r), label);
  const int fit = LinesThatFit(node.Count(), maxBytes, [&](int i) { return TextTree::ChildText(node, i).size(); });
  std::vector<std::string> values;
  values.reserve(static_cast<size_t>(fit));
  for (int i = 0; i < fit; ++i) values.emplace_back(TextTree::ChildText(node, i));
  return values;
}

bool MessageStore::FirstValue(int r, int label, std::string& value) const {
  const TextTree::Node& record = Record(r);
  if (label >= record.Count()) return false;
  const TextTree::Node& node = tree_.Child(record, label);
  if (node.Count() == 0) return false;
  value = TextTree::ChildText(node, 0);
  return true;
}

std::string MessageStore::cell(int r, int label, std::string& failure) const {
  const TextTree::Node& record = Record(r);
  if (label >= record.Count()) {
    if (failure.empty()) failure = corvane::Format("List index out of bounds (%d)", label);
    return {};
  }
  const TextTree::Node& node = tree_.Child(record, label);
  if (node.Count() == 0) {
    if (failure.empty()) failure = "List index out of bounds (0)";
    return {};
  }
  return std::string(TextTree::ChildText(node, 0));
}

void MessageStore::AddRecord(std::vector<TLineList> values) {
  TextTree::Node& record = tree_.AddChild(tree_.FirstNode(), "msg");
  for (size_t i = 0; i < labels_.size(); ++i) {
    TextTree::Node& label = tree_.AddChild(record, labels_[i]);
    if (i >= values.size()) continue;
    corvane::MakeStoreValues(values[i]);
    tree_.AddLeaves(label, std::move(values[i]));
  }
}

namespace {
uint64_t recordHash(const TextTree::Node& record) {
  return TreeStoreFile::RecordHash(record);
}
}  // namespace

void MessageStore::rememberBase() {
  base_.clear();
  if (tree_.Empty()) return;
  const TextTree::Node& root = tree_.FirstNode();
  for (int r = 0; r < root.Count(); ++r) ++base_[recordHash(tree_.Child(root, r))];
}

// A three-way merge by record: base is what this side last read or wrote, ours the tree,
// theirs the file now. Theirs is kept less what this side deleted, and what this side
// added since goes after it, in order. Nothing either side added is lost.
bool MessageStore::mergeIfChanged() {
  if (!file_.ChangedBehindUs()) return false;
  // A store file that vanished takes nothing with it: the tree is written whole.
  if (!corvane::FileExists(file_.Path())) return false;
  TextTree theirs;
  try {
    file_.ReadCurrent(theirs);
  } catch (const ETextTreeError& e) {
    throw EFCreateError(corvane::Format("Cannot save %s: another program changed it and it cannot be read now (%s)",
                                        file_.Path().c_str(), e.Message().c_str()));
  }
  std::unordered_map<uint64_t, int> unmatched = base_;  // left over: records this side deleted
  std::vector<const TextTree::Node*> added;
  const TextTree::Node& ours = tree_.FirstNode();
  for (int r = 0; r < ours.Count(); ++r) {
    const TextTree::Node& record = tree_.Child(ours, r);
    auto it = unmatched.find(recordHash(record));
    if (it != unmatched.end() && it->second > 0)
      --it->second;
    else
      added.push_back(&record);
  }
  TextTree merged;
  if (theirs.Empty()) {
    merged.AddTopLevel(ours.Text());
  } else {
    const TextTree::Node& root = theirs.FirstNode();
    TextTree::Node& mergedRoot = merged.AddTopLevel(root.Text());
    for (int r = 0; r < root.Count(); ++r) {
      const TextTree::Node& record = theirs.Child(root, r);
      auto it = unmatched.find(recordHash(record));
      if (it != unmatched.end() && it->second > 0) {
        --it->second;
        continue;
      }
      merged.AddCopy(&mergedRoot, record);
    }
  }
  for (const TextTree::Node* record : added) merged.AddCopy(&merged.FirstNode(), *record);
  // Whatever else the other writer put at the top level stays after the root.
  for (int t = 1; t < theirs.TopCount(); ++t) merged.AddCopy(nullptr, theirs.TopNode(t));
  tree_ = std::move(merged);
  merged_ = true;
  file_.MarkStale();
  // The tree is now this side's changes on top of the file as it is: should the write
  // fail, the next save merges against that file again without doubling anything.
  base_.clear();
  if (!theirs.Empty())
    for (int r = 0; r < theirs.FirstNode().Count(); ++r) ++base_[recordHash(theirs.Child(theirs.FirstNode(), r))];
  return true;
}

void MessageStore::SaveAdded() {
  const bool merged = mergeIfChanged();
  // The new record is the last node in file order only while the root is the last top-level node.
  const TextTree::Node& root = tree_.FirstNode();
  if (merged || tree_.TopCount() != 1 || root.Count() == 0) return writeWhole();
  ++base_[file_.Append(tree_, tree_.Child(root, root.Count() - 1))];
}

void MessageStore::Delete(int r) {
  if (r < 0 || r >= Count()) return;
  tree_.Delete(Record(r));
  Save();
}

void MessageStore::DeleteAll() {
  tree_.DeleteChildren(tree_.FirstNode());
  Save();
}

void MessageStore::Save() {
  mergeIfChanged();
  writeWhole();
}

void MessageStore::writeWhole() {
  file_.Rewrite(tree_);
  rememberBase();
}
