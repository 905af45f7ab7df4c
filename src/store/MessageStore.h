#pragma once
// A message store in a text tree file: a root, one "msg" record per message under it
// (oldest first), a fixed row of label nodes in each record and the values under the
// labels. Reads go by position: record r is the r-th record shown, label i is child i of a
// record. Memory holds only the store's index (where each record lies, and its row's
// texts), kept beside the file as "<name>.index"; a record is read from the file when it
// is shown. A new record is appended. A deleted record is journaled ("<name>.deleted") and
// hidden at once, and the file is compacted in the background (at once while it is small,
// and at the latest when the store closes); the file then holds exactly the bytes of a
// whole rewrite of the records left.
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DeletionJournal.h"
#include "IndexFile.h"
#include "LineList.h"
#include "StoreIndex.h"
#include "StoreWriter.h"
#include "TextTree.h"
#include "TreeStoreFile.h"

class BackgroundCompaction;

class MessageStore {
 public:
  struct LoadReport {
    bool found = false;   // a store file was there
    std::string failure;  // what was wrong with it, empty when nothing
    std::string keptAs;   // where the damaged file was moved, empty when nowhere
    // The text for the error box: the failure and the name of the kept file.
    std::string Message() const;
  };

  MessageStore(std::string path, std::string rootText, std::vector<std::string> labels, RowLabels rowLabels);
  // Compacts what is still to compact and writes the index.
  virtual ~MessageStore();
  MessageStore(const MessageStore&) = delete;
  MessageStore& operator=(const MessageStore&) = delete;

  // Start-up load. A file that fails to load, or a record that lacks what the list shows,
  // is copied aside before anything can write the store again; the store keeps what was
  // read. A store without a root gets its new-store root at the first save.
  LoadReport Load();
  // The same in three steps, so that the reading of a large store can run on a worker
  // thread while the window stays live. Open repairs a torn append and fits the index;
  // it returns how many bytes of the file are still to read ("Cannot open file %s").
  int64_t Open();
  // Reads them, adding to ScannedBytes as it goes; nothing else may use the store
  // meanwhile. Returns false when cancel was set.
  bool Scan(const std::atomic<bool>* cancel = nullptr);
  int64_t ScannedBytes() const { return scanned_.load(std::memory_order_relaxed); }
  // Applies the deletion journal, writes the index and reports. Raises the failure of a
  // reading that could not finish; the store then stays unloaded and writes nothing.
  LoadReport Finish();

  // The names of these store files and of the files beside each: its append journal, index,
  // deletion journal, the new file of a rewrite and the index's new file.
  static std::vector<std::string> FileNames(std::initializer_list<std::string_view> stores);

  const std::string& Path() const { return file_.Path(); }
  std::string IndexPath() const { return indexFile_.Path(); }
  std::string JournalPath() const { return journal_.Path(); }
  int Count() const { return static_cast<int>(index_.records.size()); }

  // What the list shows of record r: the sender, the subject, the Date header's value
  // (inbox), and the failure text when the record lacks a node its row needs.
  struct Row {
    std::string From;
    std::string Subject;
    std::string Date;
    std::string Failure;
  };
  Row RowAt(int r) const;
  // One text of that row without a copy, valid until the store next changes: 0 the
  // sender, 1 the subject, 2 the date.
  std::string_view RowText(int r, int field) const;

  // The values under label i of record r, read from the file; EListError when the record
  // lacks the label.
  std::vector<std::string> Values(int r, int label) const;
  // The same packed, for a list that may be long.
  TLineList ValueLines(int r, int label) const;
  // How many values label i of record r has, and the first of them that fit maxBytes with a
  // CR LF each (at least one): what a window shows of a value list too long to show whole.
  int ValueCount(int r, int label) const;
  std::vector<std::string> FirstValues(int r, int label, size_t maxBytes) const;
  // The first value under label i, or false when there is none.
  bool FirstValue(int r, int label, std::string& value) const;
  // The same, failing as the tree does when the record lacks the label or the value.
  std::string RequiredFirstValue(int r, int label) const;

  // Adds a record with values[i] under label i, each made a store value; the file gets it
  // at SaveAdded. The values are taken, not copied: a message body can be very large.
  void AddRecord(std::vector<TLineList> values);
  // Replaces record r (no-op for a bad index) by one made as AddRecord makes it, and writes
  // the store whole before returning.
  void ReplaceRecord(int r, std::vector<TLineList> values);
  // Writes the records added since the last save (appending when the file allows).
  void SaveAdded();
  // Removes record r (no-op for a bad index); the file follows at once or in the background.
  void Delete(int r);
  // Removes every record, keeping the root, and writes the store.
  void DeleteAll();
  // Writes the store whole.
  void Save();
  // Appends by SaveAdded go to the file unsynced until CommitBatch (see TreeStoreFile).
  void BeginBatch() {
    if (!file_.BeginBatch()) batchFrom_ = Count();
  }
  void CommitBatch() {
    file_.CommitBatch();
    batchFrom_ = -1;
  }
  // Syncs the batch and returns its token (see TreeStoreFile::PrepareBatch): once a witness
  // records the token, the batch survives a crash before CommitBatch.
  std::string PrepareBatch() { return file_.PrepareBatch(); }
  // The witness asked at load whether an unfinished batch was committed; set before Load.
  void SetBatchWitness(std::function<bool(const std::string& token)> committed) {
    file_.BatchCommitted = std::move(committed);
  }
  // True once after a save found the file changed behind the program's back and merged
  // it: records the other writer added are kept, those it deleted stay deleted, and so do
  // this side's; the store then holds the merged records and every list must be rebuilt.
  bool TakeMerged() {
    const bool merged = merged_;
    merged_ = false;
    return merged;
  }

  // The bytes the file holds once every deletion is compacted out.
  std::string Serialized() const;
  // Deletions from a file of up to bytes are written at once; from a larger one in the
  // background.
  void SetBackgroundAbove(int64_t bytes) { backgroundAbove_ = bytes; }
  // Deletions wait to be compacted out of the file.
  bool CompactionDue() const { return !deleted_.empty(); }
  // Compacts them now, waiting for a compaction that runs.
  void Compact();
  // The content hash of record r: the same for the record's bytes at every load.
  uint64_t RecordHash(int r) const { return index_.records[static_cast<size_t>(r)].hash; }
  // Told the hashes of the records the user deleted (Delete, DeleteAll), once they are gone.
  std::function<void(const std::vector<uint64_t>& hashes)> OnDeleted;
  // Told the name of each step of a deletion and a compaction as it is done, on the
  // thread doing it: where a crash test stops the program.
  std::function<void(std::string_view step)> OnStep;

 private:
  struct Snapshot;
  struct Plan;

  void requireWritable() const;
  bool appendable() const;
  std::string recordBytes(std::vector<TLineList> values) const;
  const TextTree::Node& record(int r) const;
  std::string readRecord(const IndexEntry& e) const;
  void hide(int r);
  void compactDeleted(const IndexEntry* newest);
  void applyJournal();
  void writeWhole();
  void merge();
  std::string rootLine() const;
  Plan planOf(const StoreIndex& source, const std::vector<IndexEntry>& kept, const std::string& rootLiteral) const;
  void commit(Plan& plan, int source, bool canonical);
  void replaceWith(StoreWriter& writer, const std::vector<IndexEntry>& remaining, int64_t batchStart = -1);
  int64_t batchStartIn(const StoreIndex& index) const;
  void reopen();
  void startCompaction();
  void finishCompaction();
  void stopCompaction();
  void saveIndex();
  void step(std::string_view name) const;
  DeletionJournal::Entry journalEntry(const IndexEntry& e) const;

  TreeStoreFile file_;
  IndexFile indexFile_;
  DeletionJournal journal_;
  std::string rootText_;
  std::vector<std::string> labels_;
  RowLabels rowLabels_;

  int fd_ = -1;                         // the store file as last read or written here; -1: none
  StoreIndex index_;                    // the file's layout, the records shown and their texts
  std::vector<IndexEntry> deleted_;     // hidden, journaled, still in the file
  std::vector<std::string> unwritten_;  // the last records shown, not in the file yet
  // While loading, or when the file could not be read, nothing may write it. A store never
  // loaded has seen no file: its first save merges with any file it finds.
  bool blocked_ = false;
  bool stale_ = false;  // the next save writes the file whole
  bool merged_ = false;
  bool indexDirty_ = false;  // the index file lags behind the store
  int64_t backgroundAbove_ = 1 << 20;
  int batchFrom_ = -1;  // the first record of a running batch; -1: none, or lost by a merge

  // Loading.
  StoreIndex scanning_;
  int64_t scanFrom_ = -1;  // -1: nothing to read
  std::string scanFailure_;
  std::atomic<int64_t> scanned_{0};

  // Compaction.
  std::unique_ptr<BackgroundCompaction> compaction_;
  std::unique_ptr<Snapshot> snapshot_;
  // Closes the file a new one replaced: the last close of a large unlinked file frees all
  // its blocks and pages, which takes the kernel a good part of a second for a gigabyte.
  std::jthread release_;
  void releaseReplaced(int fd);

  // The record read last, as a small tree: a window reads one record several times.
  mutable IndexEntry cachedEntry_;
  mutable TextTree cached_;
};
