#include "TextTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Streams.h"
#include "SysUtils.h"

TextTree::Node& TextTree::FirstNode() const {
  if (top_.empty()) throw EListError("Invalid index");
  return *top_.front();
}

TextTree::Node& TextTree::AddTopLevel(std::string text) {
  top_.push_back(std::unique_ptr<Node>(new Node(nullptr, std::move(text), 0)));
  return *top_.back();
}

TextTree::Node& TextTree::AddChild(Node& parent, std::string text) {
  if (parent.leaves_) unpack(parent);
  parent.children_.push_back(std::unique_ptr<Node>(new Node(&parent, std::move(text), parent.level_ + 1)));
  return *parent.children_.back();
}

void TextTree::AddLeaf(Node& parent, std::string_view text) {
  if (!parent.children_.empty()) {
    AddChild(parent, std::string(text));
    return;
  }
  if (!parent.leaves_) parent.leaves_ = std::make_unique<TLineList>();
  parent.leaves_->Add(text);
}

void TextTree::AddLeaves(Node& parent, TLineList lines) {
  if (lines.Empty()) return;
  if (parent.children_.empty() && (!parent.leaves_ || parent.leaves_->Empty())) {
    parent.leaves_ = std::make_unique<TLineList>(std::move(lines));
    return;
  }
  for (const std::string_view line : lines) AddLeaf(parent, line);
}

void TextTree::unpack(Node& node) {
  const std::unique_ptr<TLineList> leaves = std::move(node.leaves_);
  node.children_.reserve(static_cast<size_t>(leaves->Count()));
  for (const std::string_view leaf : *leaves)
    node.children_.push_back(std::unique_ptr<Node>(new Node(&node, std::string(leaf), node.level_ + 1)));
}

void TextTree::AddCopy(Node* parent, const Node& source) {
  Node& copy = parent ? AddChild(*parent, source.text_) : AddTopLevel(source.text_);
  if (source.leaves_) copy.leaves_ = std::make_unique<TLineList>(*source.leaves_);
  for (const auto& child : source.children_) AddCopy(&copy, *child);
}

TextTree::Node& TextTree::Child(const Node& node, int i) const {
  if (i < 0 || i >= node.Count()) throw EListError(corvane::Format("List index out of bounds (%d)", i));
  // Every node is made by this tree and never const itself: only the view handed out is.
  if (node.leaves_) unpack(const_cast<Node&>(node));
  return *node.children_[static_cast<size_t>(i)];
}

std::string_view TextTree::ChildText(const Node& node, int i) {
  if (i < 0 || i >= node.Count()) throw EListError(corvane::Format("List index out of bounds (%d)", i));
  if (node.leaves_) return (*node.leaves_)[i];
  return node.children_[static_cast<size_t>(i)]->text_;
}

void TextTree::Delete(Node& node) {
  auto& siblings = node.parent_ ? node.parent_->children_ : top_;
  for (auto it = siblings.begin(); it != siblings.end(); ++it)
    if (it->get() == &node) {
      siblings.erase(it);
      return;
    }
}

namespace {
void appendLine(std::string& out, int level, std::string_view text) {
  out.append(static_cast<size_t>(level), '\t');
  out += text;
  out += "\r\n";
}
}  // namespace

void TextTree::SerializeNode(const Node& node, std::string& out) {
  appendLine(out, node.level_, node.text_);
  if (node.leaves_)
    for (const std::string_view leaf : *node.leaves_) appendLine(out, node.level_ + 1, leaf);
  for (const auto& child : node.children_) SerializeNode(*child, out);
}

void TextTree::serializeInPieces(const Node& node, std::string& piece,
                                 const std::function<void(std::string_view)>& sink) {
  constexpr size_t kPiece = 1 << 20;
  const auto line = [&](int level, std::string_view text) {
    appendLine(piece, level, text);
    if (piece.size() >= kPiece) {
      sink(piece);
      piece.clear();
    }
  };
  line(node.level_, node.text_);
  if (node.leaves_)
    for (const std::string_view leaf : *node.leaves_) line(node.level_ + 1, leaf);
  for (const auto& child : node.children_) serializeInPieces(*child, piece, sink);
}

void TextTree::SerializeNode(const Node& node, const std::function<void(std::string_view)>& sink) {
  std::string piece;
  piece.reserve(64 * 1024);  // a typical message's record without growing
  serializeInPieces(node, piece, sink);
  if (!piece.empty()) sink(piece);
}

std::string TextTree::Serialize() const {
  std::string out;
  for (const auto& node : top_) SerializeNode(*node, out);
  return out;
}

bool TextTree::Parse(std::string_view text) {
  top_.clear();
  bool canonical = true;
  // The node of the last line, or its parent when that line went in as a packed leaf.
  Node* last = nullptr;
  bool lastIsLeaf = false;
  int lastLevel = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end;
    const bool crlf = pos + 1 < text.size() && text[pos] == '\r' && text[pos + 1] == '\n';
    if (pos < text.size()) pos += crlf ? 2 : 1;
    canonical = canonical && crlf;

    size_t indent = 0;
    while (indent < line.size() && (line[indent] == '\t' || line[indent] == ' ')) ++indent;
    const int level = static_cast<int>(indent);
    canonical = canonical && line.substr(0, indent).find(' ') == std::string_view::npos && (last || level == 0);
    const std::string_view nodeText = line.substr(indent);

    if (!last || level == 0) {
      last = &AddTopLevel(std::string(nodeText));
      lastIsLeaf = false;
      lastLevel = 0;
      continue;
    }
    if (level > lastLevel + 1)
      throw ETextTreeError(
          corvane::Format("Invalid level (%d) for item \"%s\"", level, std::string(nodeText).c_str()));
    Node* parent;
    if (level == lastLevel + 1) {
      // The last line gets a child: a leaf no more.
      if (lastIsLeaf) unpack(*last);
      parent = lastIsLeaf ? last->children_.back().get() : last;
    } else {
      parent = lastIsLeaf ? last : last->parent_;
      while (parent->level_ > level - 1) parent = parent->parent_;
    }
    if (parent->children_.empty()) {
      AddLeaf(*parent, nodeText);
      last = parent;
      lastIsLeaf = true;
    } else {
      last = &AddChild(*parent, std::string(nodeText));
      lastIsLeaf = false;
    }
    lastLevel = level;
  }
  return canonical;
}

// ---------------------------------------------------------------------------------------

namespace {

struct FileId {
  ino_t inode = 0;
  int64_t size = -1;  // -1: no such file
};

FileId statFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {st.st_ino, static_cast<int64_t>(st.st_size)};
}

// Records are told apart in a merge by this hash of their bytes, taken piece by piece as
// SerializeNode makes them. It never reaches a file, so it can be the library's fast one.
uint64_t hashPiece(uint64_t hash, std::string_view piece) {
  return (hash ^ std::hash<std::string_view>{}(piece)) * 1099511628211ull + piece.size();
}

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

void TreeStoreFile::rememberFile() {
  const FileId id = statFile(path_);
  inSync_ = id.size >= 0;
  inode_ = id.inode;
  size_ = id.size;
}

bool TreeStoreFile::fileUnchanged() const {
  const FileId id = statFile(path_);
  return inSync_ && id.size == size_ && id.inode == inode_;
}

// The journal line: file inode, length before the append, length after it, and a hash of
// the appended bytes; the closing word shows the line itself was written whole.
std::string TreeStoreFile::JournalLine(ino_t inode, int64_t before, std::string_view appended) {
  return corvane::Format("append %llu %lld %lld %llx end\n", static_cast<unsigned long long>(inode),
                         static_cast<long long>(before), static_cast<long long>(before + std::ssize(appended)),
                         static_cast<unsigned long long>(fnv1a(appended)));
}

std::string TreeStoreFile::BatchJournalLine(ino_t inode, int64_t before) {
  return corvane::Format("batch %llu %lld end\n", static_cast<unsigned long long>(inode),
                         static_cast<long long>(before));
}

void TreeStoreFile::recoverTornAppend() {
  const std::string journal = JournalPath();
  if (!corvane::FileExists(journal)) return;
  const std::string text = corvane::ReadFile(journal);
  unsigned long long inode = 0, hash = 0;
  long long before = -1, after = -1;
  const bool ended = text.size() > 5 && text.compare(text.size() - 5, 5, " end\n") == 0;
  const bool single =
      ended && std::sscanf(text.c_str(), "append %llu %lld %lld %llx", &inode, &before, &after, &hash) == 4;
  // A batch that was not committed is undone whole: its messages were never deleted on the
  // server, so the next session brings them again.
  const bool batch = !single && ended && std::sscanf(text.c_str(), "batch %llu %lld", &inode, &before) == 2;
  // A journal torn while being written was never followed by an append: nothing to undo.
  const FileId id = statFile(path_);
  if ((single || batch) && before >= 0 && static_cast<unsigned long long>(id.inode) == inode && id.size > before) {
    const bool complete =
        single && id.size == after && fnv1a(corvane::ReadFile(path_).substr(static_cast<size_t>(before))) == hash;
    if (!complete) {
      const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) throw EFOpenError("Cannot open file " + path_);
      const bool ok = ::ftruncate(fd, static_cast<off_t>(before)) == 0 && ::fsync(fd) == 0;
      ::close(fd);
      if (!ok) throw EFOpenError("Cannot open file " + path_);
    }
  }
  ::unlink(journal.c_str());
}

bool TreeStoreFile::Load(TextTree& tree) {
  inSync_ = false;
  // Until the file has been read, a write could replace messages nobody has seen.
  blocked_ = true;
  recoverTornAppend();
  seen_ = corvane::StampOf(path_);
  if (!corvane::FileExists(path_)) {
    blocked_ = false;
    return false;
  }
  const std::string bytes = corvane::ReadFile(path_);
  blocked_ = false;
  // Only a file that is exactly what the tree writes may be appended to.
  if (tree.Parse(bytes)) rememberFile();
  return true;
}

void TreeStoreFile::Rewrite(const TextTree& tree) {
  if (blocked_) throw EFCreateError("Cannot create file " + path_);
  inSync_ = false;
  // Made and written in pieces: a store can hold messages far larger than is worth holding twice.
  corvane::WriteFileAtomically(path_, [&](const std::function<void(std::string_view)>& write) {
    for (int t = 0; t < tree.TopCount(); ++t) TextTree::SerializeNode(tree.TopNode(t), write);
  });
  // A journal left by an append whose undo failed names the replaced file; it is stale now.
  // So is a batch journal: the new file holds the batch so far, synced.
  ::unlink(JournalPath().c_str());
  batchJournaled_ = false;
  rememberFile();
  seen_ = corvane::StampOf(path_);
}

bool TreeStoreFile::ChangedBehindUs() const {
  return corvane::StampOf(path_) != seen_;
}

void TreeStoreFile::ReadCurrent(TextTree& tree) const {
  tree.Parse(corvane::ReadFile(path_));
}

uint64_t TreeStoreFile::Append(const TextTree& tree, const TextTree::Node& node) {
  if (blocked_ || !fileUnchanged()) {
    Rewrite(tree);
    return RecordHash(node);
  }
  if (batch_) return appendUnsynced(node);
  std::string bytes;
  TextTree::SerializeNode(node, bytes);
  appendBytes(bytes);
  return RecordHash(node);
}

uint64_t TreeStoreFile::RecordHash(const TextTree::Node& node) {
  uint64_t hash = 0;
  TextTree::SerializeNode(node, [&](std::string_view piece) { hash = hashPiece(hash, piece); });
  return hash;
}

void TreeStoreFile::BeginBatch() {
  batch_ = true;
  batchJournaled_ = false;
}

void TreeStoreFile::CommitBatch() {
  if (!batch_) return;
  batch_ = false;
  if (!batchJournaled_) return;
  batchJournaled_ = false;
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok) {
    // The journal stays: should the data not reach the disk, the next load undoes the batch.
    inSync_ = false;
    throw EFCreateError("Cannot create file " + path_);
  }
  ::unlink(JournalPath().c_str());
  corvane::SyncFolderOf(path_);
}

uint64_t TreeStoreFile::appendUnsynced(const TextTree::Node& node) {
  const auto fail = [&]() {
    inSync_ = false;
    throw EFCreateError("Cannot create file " + path_);
  };
  if (!batchJournaled_) {
    const std::string journal = JournalPath();
    const int jfd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, corvane::kPrivateFileMode);
    if (jfd < 0) fail();
    const bool ok = corvane::WriteAll(jfd, BatchJournalLine(inode_, size_)) && ::fsync(jfd) == 0;
    ::close(jfd);
    if (!ok) {
      ::unlink(journal.c_str());
      fail();
    }
    corvane::SyncFolderOf(journal);
    batchJournaled_ = true;
  }
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) fail();
  // Written in pieces as they are made: a record can be far larger than is worth holding twice.
  uint64_t hash = 0;
  int64_t written = 0;
  bool ok = true;
  TextTree::SerializeNode(node, [&](std::string_view piece) {
    if (!ok) return;
    hash = hashPiece(hash, piece);
    ok = corvane::WriteAll(fd, piece);
    written += static_cast<int64_t>(piece.size());
  });
  if (!ok) {
    // Cut back to the records before this one; the journal still covers the batch.
    if (::ftruncate(fd, static_cast<off_t>(size_)) != 0) {
      ::close(fd);
      fail();
    }
    ::close(fd);
    fail();
  }
  ::close(fd);
  size_ += written;
  seen_ = corvane::StampOf(path_);
  return hash;
}

void TreeStoreFile::appendBytes(std::string_view bytes) {
  const std::string journal = JournalPath();
  const auto fail = [&]() {
    inSync_ = false;
    throw EFCreateError("Cannot create file " + path_);
  };
  {
    const int jfd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, corvane::kPrivateFileMode);
    if (jfd < 0) fail();
    const std::string record = JournalLine(inode_, size_, bytes);
    const bool ok = corvane::WriteAll(jfd, record) && ::fsync(jfd) == 0;
    ::close(jfd);
    if (!ok) {
      ::unlink(journal.c_str());
      fail();
    }
    corvane::SyncFolderOf(journal);
  }
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    ::unlink(journal.c_str());
    fail();
  }
  if (!corvane::WriteAll(fd, bytes) || ::fsync(fd) != 0) {
    // Undo at once; if even that fails the journal stays and the next load undoes it.
    const bool undone = ::ftruncate(fd, static_cast<off_t>(size_)) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    if (undone) ::unlink(journal.c_str());
    fail();
  }
  ::close(fd);
  ::unlink(journal.c_str());
  size_ += static_cast<int64_t>(bytes.size());
  seen_ = corvane::StampOf(path_);
}

std::string TreeStoreFile::PreserveDamaged() {
  inSync_ = false;
  blocked_ = true;  // until the copy is safe
  const std::string bytes = corvane::ReadFile(path_);
  const auto keptName = [&](int n) { return path_ + ".damaged" + (n == 0 ? "" : "." + std::to_string(n)); };
  int n = 0;
  while (n < 100000 && corvane::FileExists(keptName(n))) ++n;
  // The same damage found again at the next start is already kept: no second copy.
  if (n == 0 || corvane::ReadFile(keptName(n - 1)) != bytes) corvane::WriteFileAtomically(keptName(n++), bytes);
  blocked_ = false;
  return keptName(n - 1);
}

namespace corvane {

void MakeStoreValues(TLineList& lines) {
  for (int i = 0; i < lines.Count(); ++i) {
    const std::span<char> line = lines.MutableLine(i);
    size_t lead = 0;
    while (lead < line.size() && static_cast<unsigned char>(line[lead]) <= ' ') ++lead;
    for (char& c : line.subspan(lead))
      if (c == '\r' || c == '\n') c = ' ';
    if (lead > 0) lines.Narrow(i, lead, line.size() - lead);
  }
}

std::string StoreValue(std::string_view text) {
  TLineList value{text};
  MakeStoreValues(value);
  return std::string(value[0]);
}

}  // namespace corvane

// ---------------------------------------------------------------------------------------

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
  for (int r = 0; report.failure.empty() && r < Count(); ++r) report.failure = RowFailure(r);
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
