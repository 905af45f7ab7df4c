#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "SysUtils.h"

// The file behind a store: its identity as this program last read or wrote it, and the
// appends of new last records. An append is guarded by a small journal beside the file
// that records the file's identity, its length before and after the append and a hash of
// the appended bytes: a crash leaves the journal, and the next start keeps an append that
// reached the disk whole and cuts any other back to the old length. Either way the file
// holds exactly the bytes of a whole rewrite, old or new, and an append that returned is
// never undone.
class TreeStoreFile {
 public:
  explicit TreeStoreFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  std::string JournalPath() const { return path_ + ".journal"; }
  // What the journal holds while appended is added to a file of length before.
  static std::string JournalLine(ino_t inode, int64_t before, std::string_view appended);

  // Repairs a torn append and undoes a batch that was not committed; run before anything
  // reads the file.
  void RecoverTornAppend();
  // The file at the path is the one of inode, size bytes long, as this program just read
  // or wrote it: appends go on from there.
  void Remember(ino_t inode, int64_t size);
  // There is no file at the path, as this program just found.
  void RememberMissing();
  int64_t Size() const { return size_; }
  ino_t Inode() const { return inode_; }
  // Appends bytes, a new last record, to the remembered file; "Cannot create file %s".
  void Append(std::string_view bytes);
  // Appends from here to CommitBatch are written but not synced one by one: before the
  // first of them a journal records the file's length, and until the commit a crash makes
  // the next load cut the file back to that length, so it holds the store as it was before
  // the batch or, after the commit, with all of it. One journal sync at the start and one
  // file sync at the commit, however many records the batch adds.
  // True when it goes on with a batch whose commit failed: its records commit or go with
  // the new ones.
  bool BeginBatch();
  // Syncs the batch's appends and drops its journal; does nothing outside a batch.
  void CommitBatch();
  // The first half of CommitBatch: the batch's appends are on disk, its journal stays.
  // Returns the token that names the batch in its journal, empty when nothing was appended
  // or the store has no witness. Once BatchCommitted says yes for the token, a crash before
  // CommitBatch keeps the batch: another file can so commit in one step with the store.
  std::string PrepareBatch();
  // Asked at recovery whether a batch whose journal names token was committed elsewhere.
  std::function<bool(const std::string& token)> BatchCommitted;
  static std::string BatchJournalLine(ino_t inode, int64_t before, const std::string& token = {});
  // A new file, synced, took the path (a whole rewrite): the journal names the old one,
  // and the appends of a running batch are in the new file and on disk. With batchStart
  // (where the batch's records begin in the new file) the batch stays undoable.
  void Replaced(ino_t inode, int64_t size, int64_t batchStart = -1);
  bool InBatch() const { return batch_; }
  // Keeps a copy of the file as "<name>.damaged" (or ".damaged.1", ...) unless the last
  // kept copy holds the same bytes; returns the copy's path.
  std::string PreserveDamaged() const;
  // True when the file is not the one this object last read or wrote: someone else wrote,
  // replaced, created or removed it since.
  bool ChangedBehindUs() const;

 private:
  void appendSynced(std::string_view bytes);
  void appendUnsynced(std::string_view bytes);
  void journalBatch(ino_t inode, int64_t before);

  std::string path_;
  corvane::FileStamp seen_;  // the file as last read or written here
  ino_t inode_ = 0;
  int64_t size_ = 0;
  bool batch_ = false;           // inside BeginBatch..CommitBatch
  bool batchJournaled_ = false;  // the batch journal is on disk and names the file
  bool batchSynced_ = false;     // PrepareBatch synced the appends
  std::string token_;            // names the running batch in its journal
};
