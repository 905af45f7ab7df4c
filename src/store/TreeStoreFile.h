#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "SysUtils.h"
#include "TextTree.h"

// The file behind a store tree. A change that adds a node at the very end of the tree's
// depth-first order (a new last record) is appended to the file; anything else rewrites
// the file whole and atomically. An append is guarded by a small journal beside the file
// that records the file's identity, its length before and after the append and a hash of
// the appended bytes: a crash leaves the journal, and the next load keeps an append that
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

  // Repairs a torn append, then loads the tree. False when there is no file (the tree is
  // then left untouched). Raises ETextTreeError for a damaged file, with the nodes before
  // the faulty line in the tree. A file that cannot be read is never written over.
  bool Load(TextTree& tree);
  // Writes the whole tree atomically; "Cannot create file %s" on failure.
  void Rewrite(const TextTree& tree);
  // Stores node, which must be the last node of the tree in depth-first order with its
  // subtree; falls back to a rewrite when the file is not known to hold the rest. Returns
  // the hash of the node's bytes, which the merge of stores keys records by.
  uint64_t Append(const TextTree& tree, const TextTree::Node& node);
  // That hash for a node with its subtree.
  static uint64_t RecordHash(const TextTree::Node& node);
  // Appends from here to CommitBatch are written but not synced one by one: before the
  // first of them a journal records the file's length, and until the commit a crash makes
  // the next load cut the file back to that length, so it holds the store as it was before
  // the batch or, after the commit, with all of it. One journal sync at the start and one
  // file sync at the commit, however many records the batch adds.
  void BeginBatch();
  // Syncs the batch's appends and drops its journal; does nothing outside a batch.
  void CommitBatch();
  static std::string BatchJournalLine(ino_t inode, int64_t before);
  // Keeps a copy of the file as "<name>.damaged" (or ".damaged.1", ...) unless the last
  // kept copy holds the same bytes; returns the copy's path. The next save rewrites the
  // store file whole.
  std::string PreserveDamaged();
  // The file no longer matches the tree (a failed save); the next save rewrites it.
  void MarkStale() { inSync_ = false; }
  // True when the file is not the one this object last read or wrote: someone else wrote,
  // replaced or created it since. A file never read counts as changed when it exists.
  bool ChangedBehindUs() const;
  // Reads the file as it is now into tree, without repairing or remembering anything.
  void ReadCurrent(TextTree& tree) const;

 private:
  void rememberFile();
  bool fileUnchanged() const;
  void recoverTornAppend();
  void appendBytes(std::string_view bytes);
  uint64_t appendUnsynced(const TextTree::Node& node);

  std::string path_;
  corvane::FileStamp seen_;  // the file as last read or written here
  bool inSync_ = false;      // the file holds exactly the serialized tree
  bool blocked_ = false;     // a file that could not be read or kept must not be replaced
  ino_t inode_ = 0;
  int64_t size_ = 0;
  bool batch_ = false;           // inside BeginBatch..CommitBatch
  bool batchJournaled_ = false;  // the batch journal is on disk and names the file
};
