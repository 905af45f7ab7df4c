#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "LineList.h"
#include "TextTree.h"
#include "TreeStoreFile.h"

// A message store in a text tree: a root, one "msg" record per message under it (oldest
// first), a fixed row of label nodes in each record and the values under the labels. Reads
// go by position: record r is child r of the root, label i is child i of a record.
class MessageStore {
 public:
  struct LoadReport {
    bool found = false;   // a store file was there
    std::string failure;  // what was wrong with it, empty when nothing
    std::string keptAs;   // where the damaged file was moved, empty when nowhere
    // The text for the error box: the failure and the name of the kept file.
    std::string Message() const;
  };

  MessageStore(std::string path, std::string rootText, std::vector<std::string> labels);
  virtual ~MessageStore() = default;

  // Start-up load. A file that fails to load, or a record that lacks what the list shows,
  // is copied aside before anything can write the store again; the tree keeps what was
  // read. A store without a root gets its new-store root.
  LoadReport Load();

  const std::string& Path() const { return file_.Path(); }
  TextTree& Tree() { return tree_; }
  const TextTree& Tree() const { return tree_; }
  int Count() const;
  TextTree::Node& Record(int r) const;
  // The values under label i of record r; EListError when the record lacks the label.
  std::vector<std::string> Values(int r, int label) const;
  // The same packed, for a list that may be long.
  TLineList ValueLines(int r, int label) const;
  // How many values label i of record r has, and the first of them that fit maxBytes with a
  // CR LF each (at least one): what a window shows of a value list too long to show whole.
  int ValueCount(int r, int label) const;
  std::vector<std::string> FirstValues(int r, int label, size_t maxBytes) const;
  // The first value under label i, or false when there is none.
  bool FirstValue(int r, int label, std::string& value) const;

  // Adds a record with values[i] under label i, each made a store value. Tree only.
  // The values are taken, not copied: a message body can be very large.
  void AddRecord(std::vector<TLineList> values);
  // Writes the record added last (appending when the file allows).
  void SaveAdded();
  // Removes record r (no-op for a bad index) and writes the store.
  void Delete(int r);
  // Removes every record, keeping the root, and writes the store.
  void DeleteAll();
  void Save();
  // Appends by SaveAdded go to the file unsynced until CommitBatch (see TreeStoreFile).
  void BeginBatch() { file_.BeginBatch(); }
  void CommitBatch() { file_.CommitBatch(); }
  // True once after a save found the file changed behind the program's back and merged
  // it: records the other writer added are kept, those it deleted stay deleted, and so do
  // this side's; the tree then holds the merged store and every list must be rebuilt.
  bool TakeMerged() {
    const bool merged = merged_;
    merged_ = false;
    return merged;
  }

  // What the list shows of record r: the sender and the subject, and the failure text
  // when the record lacks a node its row needs (empty when nothing is wrong).
  struct Row {
    std::string From;
    std::string Subject;
    std::string Failure;
  };
  virtual Row RowAt(int r) const = 0;

 protected:
  // The text of child 0 of label i; sets failure (once) when it is missing.
  std::string cell(int r, int label, std::string& failure) const;

 private:
  bool mergeIfChanged();
  void writeWhole();
  void rememberBase();

  TextTree tree_;
  TreeStoreFile file_;
  std::string rootText_;
  std::vector<std::string> labels_;
  // The records as last read or written, as a multiset of content hashes: what tells a
  // record the other writer deleted from one this side added.
  std::unordered_map<uint64_t, int> base_;
  bool merged_ = false;
};
