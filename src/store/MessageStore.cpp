#include "MessageStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <unordered_map>

#include "BackgroundCompaction.h"
#include "Exceptions.h"
#include "StoreScan.h"
#include "Streams.h"
#include "SysUtils.h"

namespace {

// Closes a file descriptor when the scope ends.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

bool readFully(int fd, char* into, size_t length, int64_t offset) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, into + got, length - got, offset + static_cast<int64_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool byStart(const IndexEntry& a, const IndexEntry& b) {
  return a.start < b.start;
}

}  // namespace

// What a background compaction copied: the file's size then, and where each record it
// copied lies in the new file.
struct MessageStore::Snapshot {
  int64_t end = 0;
  std::vector<std::pair<int64_t, int64_t>> moved;  // old start, new start; by old start
  std::vector<int64_t> dropped;                    // starts of the deleted records left out, sorted
};

// A whole new file: its pieces, and its index as far as it is known without reading it.
struct MessageStore::Plan {
  std::unique_ptr<std::string> root;  // a root line of its own; where it lies does not move
  std::vector<StorePiece> pieces;
  StoreIndex index;
};

std::string MessageStore::LoadReport::Message() const {
  if (keptAs.empty()) return failure;
  return failure + "; the store file was kept as " + keptAs;
}

MessageStore::MessageStore(std::string path, std::string rootText, std::vector<std::string> labels, RowLabels rowLabels)
    : file_(path),
      indexFile_(path + ".index"),
      journal_(path + ".deleted"),
      rootText_(std::move(rootText)),
      labels_(std::move(labels)),
      rowLabels_(rowLabels) {}

std::vector<std::string> MessageStore::FileNames(std::initializer_list<std::string_view> stores) {
  std::vector<std::string> names;
  for (const std::string_view store : stores)
    for (const char* suffix : {"", ".journal", ".index", ".index.new", ".deleted", ".new"})
      names.push_back(std::string(store) + suffix);
  return names;
}

MessageStore::~MessageStore() {
  try {
    Compact();
    if (indexDirty_) saveIndex();
  } catch (const std::exception&) {
    // The journal keeps what was deleted, and the next start reads the store anew.
  }
  compaction_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void MessageStore::step(std::string_view name) const {
  if (OnStep) OnStep(name);
}

// ---- loading ----------------------------------------------------------------------------

MessageStore::LoadReport MessageStore::Load() {
  Open();
  Scan();
  return Finish();
}

int64_t MessageStore::Open() {
  stopCompaction();
  // Until the file has been read, a write could replace messages nobody has seen.
  blocked_ = true;
  index_ = {};
  scanning_ = {};
  deleted_.clear();
  unwritten_.clear();
  stale_ = merged_ = indexDirty_ = false;
  cachedEntry_ = {};
  scanFrom_ = -1;
  scanFailure_.clear();
  scanned_ = 0;
  file_.RecoverTornAppend();
  ::unlink(StoreWriter::TempPath(Path()).c_str());  // a copy that a crash left unfinished
  // The file read before is let go only for the new one: a store that cannot be read
  // again holds on to what it had, and writes nothing.
  const int fd = ::open(Path().c_str(), O_RDONLY | O_CLOEXEC);
  const int error = errno;
  struct stat st {};
  if (fd < 0 ? error != ENOENT : ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    throw EFOpenError("Cannot open file " + Path());
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  if (fd < 0) {
    file_.RememberMissing();
    return 0;
  }
  file_.Remember(st.st_ino, st.st_size);
  switch (indexFile_.Load(fd_, scanning_)) {
    case IndexFile::Fit::Whole:
      return 0;
    case IndexFile::Fit::Prefix:
      // The last record may have grown: it is read again with what follows it.
      scanFrom_ = scanning_.records.empty() ? scanning_.rootEnd : scanning_.records.back().start;
      if (!scanning_.records.empty()) scanning_.records.pop_back();
      break;
    case IndexFile::Fit::None:
      scanning_ = {};
      scanFrom_ = 0;
      break;
  }
  return st.st_size - scanFrom_;
}

bool MessageStore::Scan(const std::atomic<bool>* cancel) {
  if (scanFrom_ < 0) return true;
  try {
    return ScanStoreFile(fd_, Path(), scanning_, rowLabels_, scanFrom_, cancel, &scanned_);
  } catch (const std::exception& e) {
    scanFailure_ = e.what();
    throw;
  }
}

MessageStore::LoadReport MessageStore::Finish() {
  // Half a reading must never be taken for the store: a save would drop the rest.
  if (!scanFailure_.empty()) throw EFOpenError(scanFailure_);
  LoadReport report;
  report.found = fd_ >= 0;
  index_ = std::move(scanning_);
  scanning_ = {};
  indexDirty_ = scanFrom_ >= 0;
  scanFrom_ = -1;
  applyJournal();
  report.failure = index_.damage;
  for (const IndexEntry& e : index_.records) {
    if (!report.failure.empty()) break;
    if (e.failure >= 0) report.failure = corvane::Format("List index out of bounds (%d)", e.failure);
  }
  if (!report.failure.empty() && report.found) {
    try {
      report.keptAs = file_.PreserveDamaged();
    } catch (const std::exception& e) {
      // The store file then stays as it is for this run: no save may replace it.
      report.failure += std::string("; ") + e.what();
      return report;
    }
  }
  blocked_ = false;
  if (indexDirty_) saveIndex();
  if (!deleted_.empty()) {
    try {
      compactDeleted(nullptr);
    } catch (const std::exception&) {
      // The journal still hides the deleted records; the next save writes the file.
    }
  }
  return report;
}

// Records named by the journal are hidden before anything else sees the store. The journal
// names them by place and hash in the file it was written for; when the store file is
// another one (another program replaced it), by their bytes' hash.
void MessageStore::applyJournal() {
  const std::vector<DeletionJournal::Section> sections = journal_.Read();
  struct stat st {};
  const uint64_t inode = fd_ >= 0 && ::fstat(fd_, &st) == 0 ? st.st_ino : 0;
  std::vector<bool> gone(index_.records.size(), false);
  bool own = false;
  for (const DeletionJournal::Section& section : sections) {
    if (section.inode != inode || inode == 0) continue;
    own = true;
    for (const DeletionJournal::Entry& e : section.entries) {
      const auto it = std::lower_bound(index_.records.begin(), index_.records.end(), IndexEntry{e.start}, byStart);
      if (it != index_.records.end() && it->start == e.start && it->length == e.length && it->hash == e.hash)
        gone[static_cast<size_t>(it - index_.records.begin())] = true;
    }
  }
  if (!own && !sections.empty()) {
    std::unordered_map<uint64_t, int> wanted;
    for (const DeletionJournal::Entry& e : sections.front().entries) ++wanted[e.hash];
    for (size_t r = 0; r < index_.records.size(); ++r) {
      const auto it = wanted.find(index_.records[r].hash);
      if (it == wanted.end() || it->second == 0) continue;
      --it->second;
      gone[r] = true;
    }
  }
  std::vector<IndexEntry> shown;
  shown.reserve(index_.records.size());
  for (size_t r = 0; r < index_.records.size(); ++r) (gone[r] ? deleted_ : shown).push_back(index_.records[r]);
  index_.records = std::move(shown);
  if (sections.empty() && !corvane::FileExists(journal_.Path())) return;
  // One section naming this file, whatever the journal held before.
  std::vector<DeletionJournal::Entry> entries;
  for (const IndexEntry& e : deleted_) entries.push_back(journalEntry(e));
  try {
    journal_.Reset(inode, entries);
  } catch (const std::exception&) {
    stale_ = true;  // the next save writes the file whole, which settles the journal
  }
}

// ---- reading ----------------------------------------------------------------------------

MessageStore::Row MessageStore::RowAt(int r) const {
  if (r < 0 || r >= Count()) throw EListError(corvane::Format("List index out of bounds (%d)", r));
  const IndexEntry& e = index_.records[static_cast<size_t>(r)];
  Row row{std::string(index_.From(e)), std::string(index_.Subject(e)), std::string(index_.Date(e)), {}};
  if (e.failure >= 0) row.Failure = corvane::Format("List index out of bounds (%d)", e.failure);
  return row;
}

std::string_view MessageStore::RowText(int r, int field) const {
  if (r < 0 || r >= Count()) return {};
  const IndexEntry& e = index_.records[static_cast<size_t>(r)];
  return field == 0 ? index_.From(e) : field == 1 ? index_.Subject(e) : index_.Date(e);
}

const TextTree::Node& MessageStore::record(int r) const {
  if (r < 0 || r >= Count()) throw EListError(corvane::Format("List index out of bounds (%d)", r));
  const IndexEntry& e = index_.records[static_cast<size_t>(r)];
  const bool cached = !cached_.Empty() && cachedEntry_.start == e.start && cachedEntry_.length == e.length &&
                      cachedEntry_.hash == e.hash;
  if (!cached) {
    cachedEntry_ = {};
    // Under a root of its own, the record's lines read as they do in the file.
    std::string bytes = "r\r\n";
    if (e.start < 0)
      bytes += unwritten_[unwritten_.size() - static_cast<size_t>(Count() - r)];
    else
      bytes += readRecord(e);
    cached_.Parse(bytes);
    cachedEntry_ = e;
  }
  return cached_.Child(cached_.FirstNode(), 0);
}

std::string MessageStore::readRecord(const IndexEntry& e) const {
  std::string bytes(static_cast<size_t>(e.length), '\0');
  if (!readFully(fd_, bytes.data(), bytes.size(), e.start)) throw EFOpenError("Cannot open file " + Path());
  uint64_t hash;
  if (index_.canonical) {
    hash = XXH3_64bits(bytes.data(), bytes.size());
  } else {
    StoreIndex one;
    ScanRecord(bytes, one, rowLabels_);
    hash = one.records.empty() ? 0 : one.records.front().hash;
  }
  if (hash != e.hash)
    throw Exception(
        corvane::Format("%s was changed by another program: the message is no longer where the list shows it",
                        corvane::ExtractFileName(Path()).c_str()));
  return bytes;
}

std::vector<std::string> MessageStore::Values(int r, int label) const {
  const TextTree::Node& node = cached_.Child(record(r), label);
  std::vector<std::string> values;
  values.reserve(static_cast<size_t>(node.Count()));
  for (int i = 0; i < node.Count(); ++i) values.emplace_back(TextTree::ChildText(node, i));
  return values;
}

TLineList MessageStore::ValueLines(int r, int label) const {
  const TextTree::Node& node = cached_.Child(record(r), label);
  TLineList values;
  for (int i = 0; i < node.Count(); ++i) values.Add(TextTree::ChildText(node, i));
  return values;
}

int MessageStore::ValueCount(int r, int label) const {
  return cached_.Child(record(r), label).Count();
}

std::vector<std::string> MessageStore::FirstValues(int r, int label, size_t maxBytes) const {
  const TextTree::Node& node = cached_.Child(record(r), label);
  const int fit = LinesThatFit(node.Count(), maxBytes, [&](int i) { return TextTree::ChildText(node, i).size(); });
  std::vector<std::string> values;
  values.reserve(static_cast<size_t>(fit));
  for (int i = 0; i < fit; ++i) values.emplace_back(TextTree::ChildText(node, i));
  return values;
}

bool MessageStore::FirstValue(int r, int label, std::string& value) const {
  const TextTree::Node& rec = record(r);
  if (label >= rec.Count()) return false;
  const TextTree::Node& node = cached_.Child(rec, label);
  if (node.Count() == 0) return false;
  value = TextTree::ChildText(node, 0);
  return true;
}

std::string MessageStore::RequiredFirstValue(int r, int label) const {
  return std::string(TextTree::ChildText(cached_.Child(record(r), label), 0));
}

std::string MessageStore::Serialized() const {
  std::vector<IndexEntry> kept;
  for (const IndexEntry& e : index_.records)
    if (e.start >= 0) kept.push_back(e);
  const Plan plan = planOf(index_, kept, index_.rootEnd > 0 ? std::string() : rootLine());
  std::string out;
  CopyPieces(fd_, index_.canonical, plan.pieces, Path(), [&](std::string_view bytes) { out += bytes; });
  return out;
}

// ---- changing ---------------------------------------------------------------------------

void MessageStore::requireWritable() const {
  if (blocked_) throw EFCreateError("Cannot create file " + Path());
}

// Only a file that is exactly what the store writes, root and records and nothing after,
// may have a record appended.
bool MessageStore::appendable() const {
  return !stale_ && fd_ >= 0 && index_.Clean() && unwritten_.size() == 1 && file_.Size() == index_.size;
}

// A record of values[i] under label i, in the bytes the store writes.
std::string MessageStore::recordBytes(std::vector<TLineList> values) const {
  std::string bytes;
  TextTree tree;
  TextTree::Node& record = tree.AddChild(tree.AddTopLevel(rootText_), "msg");
  for (size_t i = 0; i < labels_.size(); ++i) {
    TextTree::Node& label = tree.AddChild(record, labels_[i]);
    if (i >= values.size()) continue;
    corvane::MakeStoreValues(values[i]);
    tree.AddLeaves(label, std::move(values[i]));
  }
  TextTree::SerializeNode(record, bytes);
  return bytes;
}

void MessageStore::AddRecord(std::vector<TLineList> values) {
  std::string bytes = recordBytes(std::move(values));
  StoreIndex one;
  ScanRecord(bytes, one, rowLabels_);
  const IndexEntry& made = one.records.front();
  IndexEntry entry = made;
  entry.start = -1;
  index_.Add(entry, one.From(made), one.Subject(made), one.Date(made));
  unwritten_.push_back(std::move(bytes));
}

void MessageStore::ReplaceRecord(int r, std::vector<TLineList> values) {
  if (r < 0 || r >= Count()) return;
  requireWritable();
  // Whatever waits for the file gets there first: then the file holds the records shown,
  // in their order, and the new one takes the place of the old one.
  if (!unwritten_.empty() || !deleted_.empty() || stale_ || !index_.Clean() || file_.ChangedBehindUs()) {
    Save();
    if (r >= Count()) return;
  }
  stopCompaction();
  const std::string bytes = recordBytes(std::move(values));
  std::vector<StorePiece> pieces{{0, index_.rootEnd, {}, true}};
  for (int k = 0; k < Count(); ++k) {
    const IndexEntry& e = index_.records[static_cast<size_t>(k)];
    StorePiece& last = pieces.back();
    if (k == r)
      pieces.push_back({-1, 0, bytes, false});
    else if (!last.root && last.start >= 0 && last.start + last.length == e.start)
      last.length += e.length;
    else
      pieces.push_back({e.start, e.length, {}, false});
  }
  StoreWriter writer(Path());
  writer.Write(fd_, true, pieces);
  writer.Sync();
  replaceWith(writer, {});
  // Where the records now lie is read from the new file: a queue is small.
  index_ = {};
  ScanStoreFile(fd_, Path(), index_, rowLabels_, 0);
  indexDirty_ = true;
  saveIndex();
}

void MessageStore::SaveAdded() {
  if (unwritten_.empty()) return;
  requireWritable();
  if (file_.ChangedBehindUs()) return merge();
  if (!appendable()) return writeWhole();
  const int64_t at = file_.Size();
  try {
    file_.Append(unwritten_.front());
  } catch (const std::exception&) {
    stale_ = true;
    throw;
  }
  IndexEntry& e = index_.records.back();
  e.start = at;
  index_.size = index_.recordsEnd = index_.validEnd = e.End();
  unwritten_.clear();
  indexDirty_ = true;
}

void MessageStore::hide(int r) {
  const IndexEntry e = index_.records[static_cast<size_t>(r)];
  index_.records.erase(index_.records.begin() + r);
  if (r < batchFrom_) --batchFrom_;
  if (e.start >= 0)
    deleted_.push_back(e);
  else
    unwritten_.erase(unwritten_.end() - (Count() - r) - 1);
}

void MessageStore::Delete(int r) {
  if (r < 0 || r >= Count()) return;
  const bool inFile = index_.records[static_cast<size_t>(r)].start >= 0;
  const uint64_t hash = RecordHash(r);
  hide(r);
  compactDeleted(inFile ? &deleted_.back() : nullptr);
  if (OnDeleted) OnDeleted({hash});
}

// The file follows the deletions: written whole at once while it is small (or not in the
// store's own form), else by a compaction in the background after the newest deletion,
// if any, is journaled.
void MessageStore::compactDeleted(const IndexEntry* newest) {
  requireWritable();
  if (file_.ChangedBehindUs()) return merge();
  if (stale_ || !index_.Clean() || !unwritten_.empty() || index_.size <= backgroundAbove_) return writeWhole();
  if (newest) {
    try {
      journal_.Append(file_.Inode(), journalEntry(*newest));
    } catch (const std::exception&) {
      stale_ = true;
      throw;
    }
    step("journaled");
  }
  startCompaction();
}

void MessageStore::DeleteAll() {
  std::vector<uint64_t> hashes;
  for (const IndexEntry& e : index_.records) hashes.push_back(e.hash);
  while (Count() > 0) hide(Count() - 1);
  requireWritable();
  if (file_.ChangedBehindUs())
    merge();
  else
    writeWhole();
  if (OnDeleted) OnDeleted(hashes);
}

void MessageStore::Save() {
  requireWritable();
  if (file_.ChangedBehindUs()) return merge();
  writeWhole();
}

DeletionJournal::Entry MessageStore::journalEntry(const IndexEntry& e) const {
  return {e.start, e.length, e.hash, std::string(index_.From(e)), std::string(index_.Subject(e))};
}

// ---- whole writes -----------------------------------------------------------------------

std::string MessageStore::rootLine() const {
  if (index_.rootEnd == 0 || fd_ < 0) return rootText_ + "\r\n";
  std::string raw(static_cast<size_t>(index_.rootEnd), '\0');
  if (!readFully(fd_, raw.data(), raw.size(), 0)) throw EFOpenError("Cannot open file " + Path());
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.pop_back();
  return raw.substr(std::min(raw.find_first_not_of("\t "), raw.size())) + "\r\n";
}

// The pieces of a new file: the root line of source (or rootLiteral), the kept records of
// source, this store's unwritten records, and what follows the records in source.
MessageStore::Plan MessageStore::planOf(const StoreIndex& source, const std::vector<IndexEntry>& kept,
                                        const std::string& rootLiteral) const {
  Plan plan;
  StoreIndex& out = plan.index;
  if (source.rootEnd > 0) {
    plan.pieces.push_back({0, source.rootEnd, {}, true});
    out.rootEnd = source.rootEnd;
  } else {
    plan.root = std::make_unique<std::string>(rootLiteral);
    plan.pieces.push_back({-1, 0, *plan.root, false});
    out.rootEnd = static_cast<int64_t>(rootLiteral.size());
  }
  int64_t at = out.rootEnd;
  for (const IndexEntry& e : kept) {
    StorePiece& last = plan.pieces.back();
    if (!last.root && last.start >= 0 && last.start + last.length == e.start)
      last.length += e.length;
    else
      plan.pieces.push_back({e.start, e.length, {}, false});
    IndexEntry moved = e;
    moved.start = at;
    at += e.length;
    out.Add(moved, source.From(e), source.Subject(e), source.Date(e));
  }
  const size_t firstUnwritten = index_.records.size() - unwritten_.size();
  for (size_t k = 0; k < unwritten_.size(); ++k) {
    plan.pieces.push_back({-1, 0, unwritten_[k], false});
    IndexEntry moved = index_.records[firstUnwritten + k];
    moved.start = at;
    at += moved.length;
    out.Add(moved, index_.From(moved), index_.Subject(moved), index_.Date(moved));
  }
  out.recordsEnd = at;
  const int64_t after = source.validEnd - source.recordsEnd;
  if (after > 0) plan.pieces.push_back({source.recordsEnd, after, {}, false});
  out.validEnd = out.size = at + after;
  return plan;
}

void MessageStore::writeWhole() {
  stopCompaction();
  std::vector<IndexEntry> kept;
  for (const IndexEntry& e : index_.records)
    if (e.start >= 0) kept.push_back(e);
  Plan plan = planOf(index_, kept, index_.rootEnd > 0 ? std::string() : rootLine());
  commit(plan, fd_, index_.canonical);
}

// A three-way merge by record: what this side last read or wrote, what it shows now, and
// the file as another program left it. Theirs is kept less what this side deleted, and
// what this side added and did not write yet goes after it, in order.
void MessageStore::merge() {
  stopCompaction();
  const int theirs = ::open(Path().c_str(), O_RDONLY | O_CLOEXEC);
  // A store file that vanished takes nothing with it: this side's records are written whole.
  if (theirs < 0 && errno == ENOENT) return writeWhole();
  if (theirs < 0) throw EFOpenError("Cannot open file " + Path());
  const FdCloser closer{theirs};
  StoreIndex their;
  ScanStoreFile(theirs, Path(), their, rowLabels_, 0);
  // Another writer's records may follow this batch's: it can no longer be undone alone.
  batchFrom_ = -1;
  if (!their.damage.empty())
    throw EFCreateError(corvane::Format("Cannot save %s: another program changed it and it cannot be read now (%s)",
                                        Path().c_str(), their.damage.c_str()));
  std::unordered_map<uint64_t, int> gone;
  for (const IndexEntry& e : deleted_) ++gone[e.hash];
  std::vector<IndexEntry> kept;
  for (const IndexEntry& e : their.records) {
    const auto it = gone.find(e.hash);
    if (it != gone.end() && it->second > 0)
      --it->second;
    else
      kept.push_back(e);
  }
  Plan plan = planOf(their, kept, their.rootEnd > 0 ? std::string() : rootLine());
  commit(plan, theirs, their.canonical);
  merged_ = true;
}

void MessageStore::commit(Plan& plan, int source, bool canonical) {
  StoreWriter writer(Path());
  writer.Write(source, canonical, plan.pieces);
  writer.Sync();
  replaceWith(writer, {}, canonical && plan.index.size == plan.index.recordsEnd ? batchStartIn(plan.index) : -1);
  deleted_.clear();
  unwritten_.clear();
  stale_ = false;
  if (canonical) {
    index_ = std::move(plan.index);
  } else {
    // The new file is in the store's own form: where its records now lie is read from it.
    index_ = {};
    ScanStoreFile(fd_, Path(), index_, rowLabels_, 0);
  }
  indexDirty_ = true;
  saveIndex();
}

// The new file takes the store's place. Deletions still to compact (remaining, at their
// places in the new file) are journaled for it first, so that a crash before or after the
// rename leaves a journal that names the file it finds.
// Where the running batch's records begin in a file of that layout; -1 when it has none.
int64_t MessageStore::batchStartIn(const StoreIndex& index) const {
  if (!file_.InBatch() || batchFrom_ < 0 || batchFrom_ >= std::ssize(index.records)) return -1;
  return index.records[static_cast<size_t>(batchFrom_)].start;
}

void MessageStore::replaceWith(StoreWriter& writer, const std::vector<IndexEntry>& remaining, int64_t batchStart) {
  std::vector<DeletionJournal::Entry> entries;
  for (const IndexEntry& e : remaining) entries.push_back(journalEntry(e));
  const bool journaled = !entries.empty() || corvane::FileExists(journal_.Path());
  if (journaled) {
    try {
      journal_.AddSection(writer.Inode(), entries);
    } catch (const std::exception&) {
      stale_ = true;
      throw;
    }
    step("readdressed");
  }
  writer.Replace();
  releaseReplaced(fd_);
  fd_ = writer.ReleaseFd();
  file_.Replaced(static_cast<ino_t>(writer.Inode()), writer.Size(), batchStart);
  cachedEntry_ = {};
  step("replaced");
  if (!journaled) return;
  try {
    journal_.Reset(writer.Inode(), entries);
  } catch (const std::exception&) {
    // The section just added names the new file: the journal stays right, only longer.
  }
  step("journal reset");
}

void MessageStore::releaseReplaced(int fd) {
  if (fd < 0) return;
  if (release_.joinable()) release_.join();  // the one before: seldom still at work
  release_ = std::jthread([fd] { ::close(fd); });
}

// ---- compaction -------------------------------------------------------------------------

void MessageStore::startCompaction() {
  if (compaction_) return;  // its end starts the next round
  auto snapshot = std::make_unique<Snapshot>();
  snapshot->end = index_.size;
  std::vector<StorePiece> pieces{{0, index_.rootEnd, {}, true}};
  int64_t at = index_.rootEnd;
  for (const IndexEntry& e : index_.records) {
    if (e.start < 0) continue;
    StorePiece& last = pieces.back();
    if (!last.root && last.start + last.length == e.start)
      last.length += e.length;
    else
      pieces.push_back({e.start, e.length, {}, false});
    snapshot->moved.emplace_back(e.start, at);
    at += e.length;
  }
  for (const IndexEntry& e : deleted_) snapshot->dropped.push_back(e.start);
  std::sort(snapshot->dropped.begin(), snapshot->dropped.end());
  snapshot_ = std::move(snapshot);
  compaction_ = std::make_unique<BackgroundCompaction>(
      Path(), fd_, std::move(pieces),
      [this] {
        try {
          finishCompaction();
        } catch (const std::exception&) {
          // The journal keeps the deletions; the store's close compacts them.
        }
      },
      OnStep);
}

// The copy is done: records stored meanwhile follow it, deletions made meanwhile are
// journaled at their new places, and the copy takes the store's place.
void MessageStore::finishCompaction() {
  if (!compaction_) return;
  const std::unique_ptr<StoreWriter> writer = compaction_->Finish();
  compaction_.reset();
  const std::unique_ptr<Snapshot> snapshot = std::move(snapshot_);
  // Given up when the file is no longer the one copied: the next save merges or writes it
  // whole, and the journal keeps the deletions meanwhile.
  if (!writer || blocked_ || stale_ || !index_.Clean() || file_.ChangedBehindUs()) return;
  const int64_t copied = writer->Size();
  if (index_.size > snapshot->end) writer->Write(fd_, true, {{snapshot->end, index_.size - snapshot->end, {}, false}});
  writer->Sync();
  const auto moved = [&](int64_t start) {
    if (start >= snapshot->end) return start + copied - snapshot->end;
    return std::lower_bound(snapshot->moved.begin(), snapshot->moved.end(), std::make_pair(start, int64_t{0}))->second;
  };
  std::vector<IndexEntry> remaining;
  for (IndexEntry e : deleted_) {
    if (std::binary_search(snapshot->dropped.begin(), snapshot->dropped.end(), e.start)) continue;
    e.start = moved(e.start);
    remaining.push_back(e);
  }
  const int64_t batchStart = batchStartIn(index_);
  replaceWith(*writer, remaining, batchStart >= 0 ? moved(batchStart) : -1);
  for (IndexEntry& e : index_.records)
    if (e.start >= 0) e.start = moved(e.start);
  deleted_ = std::move(remaining);
  std::sort(deleted_.begin(), deleted_.end(), byStart);
  index_.size = index_.recordsEnd = index_.validEnd = writer->Size();
  // The index file is written when the store closes: writing it here would hold up the
  // window for a tenth of a second per 100,000 messages, and after a crash the next start
  // finds it names the old file and reads the store anew.
  indexDirty_ = true;
  if (!deleted_.empty()) startCompaction();
}

void MessageStore::stopCompaction() {
  compaction_.reset();
  snapshot_.reset();
}

void MessageStore::Compact() {
  // A running copy is finished (its end may start one more round for what was deleted
  // meanwhile); whatever is left is written whole.
  for (int round = 0; round < 2 && compaction_; ++round) finishCompaction();
  if (!blocked_ && !deleted_.empty()) Save();
}

// ---- the index file ---------------------------------------------------------------------

void MessageStore::saveIndex() {
  if (blocked_ || stale_ || fd_ < 0 || file_.ChangedBehindUs()) return;
  // The index describes the file: the records shown and those deleted but still in it.
  std::vector<IndexEntry> inFile;
  inFile.reserve(index_.records.size() + deleted_.size());
  std::vector<IndexEntry> deleted = deleted_;
  std::sort(deleted.begin(), deleted.end(), byStart);
  auto shown = index_.records.begin();
  const auto shownEnd = index_.records.end() - static_cast<std::ptrdiff_t>(unwritten_.size());
  std::merge(shown, shownEnd, deleted.begin(), deleted.end(), std::back_inserter(inFile), byStart);
  if (indexFile_.Save(fd_, index_, inFile)) indexDirty_ = false;
  step("indexed");
}
