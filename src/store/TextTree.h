#pragma once
// The ordered tree of text nodes that both message stores rest on, its indented file
// format (one line per node: level TABs, text, CR LF) and the journaled store file that
// lets a store grow by appending instead of rewriting every byte.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Exceptions.h"
#include "LineList.h"
#include "SysUtils.h"

// "Invalid level (%d) for item "%s"": a line two or more levels deeper than the one before.
class ETextTreeError : public Exception {
 public:
  using Exception::Exception;
};

class TextTree {
 public:
  // A node's children are either nodes or, while none of them has children of its own,
  // packed leaves: a store's value lines, which can number millions in one message, then
  // cost a few bytes each beside their text instead of a node each. Reading a leaf as a
  // node (Child) or giving a leaf children turns the leaves into nodes.
  class Node {
   public:
    const std::string& Text() const { return text_; }
    int Count() const { return leaves_ ? leaves_->Count() : static_cast<int>(children_.size()); }

   private:
    friend class TextTree;
    Node(Node* parent, std::string text, int level) : text_(std::move(text)), parent_(parent), level_(level) {}

    std::string text_;
    Node* parent_;
    int level_;
    std::vector<std::unique_ptr<Node>> children_;
    std::unique_ptr<TLineList> leaves_;  // set only while children_ is empty
  };

  TextTree() = default;
  TextTree(const TextTree&) = delete;
  TextTree& operator=(const TextTree&) = delete;
  TextTree(TextTree&&) = default;
  TextTree& operator=(TextTree&&) = default;

  bool Empty() const { return top_.empty(); }
  int TopCount() const { return static_cast<int>(top_.size()); }
  const Node& TopNode(int i) const { return *top_.at(static_cast<size_t>(i)); }
  // The first top-level node; EListError "Invalid index" when the tree is empty.
  Node& FirstNode() const;
  Node& AddTopLevel(std::string text);
  Node& AddChild(Node& parent, std::string text);
  // Adds a child without children, packed when parent has only such children.
  void AddLeaf(Node& parent, std::string_view text);
  // Adds every line of lines as such a child of parent, taking the lines whole when
  // parent has no children yet.
  void AddLeaves(Node& parent, TLineList lines);
  // Adds a copy of source (from any tree) with its subtree as the last child of parent,
  // or as the last top-level node when parent is null.
  void AddCopy(Node* parent, const Node& source);
  // EListError "List index out of bounds (%d)" when node has no child i.
  Node& Child(const Node& node, int i) const;
  // The text of child i, without making a node of a packed leaf; EListError as Child.
  static std::string_view ChildText(const Node& node, int i);
  void Delete(Node& node);
  void DeleteChildren(Node& node) {
    node.children_.clear();
    node.leaves_.reset();
  }

  // The file's bytes for the whole tree, and for one node with its subtree.
  std::string Serialize() const;
  static void SerializeNode(const Node& node, std::string& out);
  // The same in pieces of about a megabyte, each handed to sink as it is made.
  static void SerializeNode(const Node& node, const std::function<void(std::string_view)>& sink);
  // Replaces the tree by the content of text. On an invalid level it raises
  // ETextTreeError and keeps the nodes built before the faulty line. True when the text
  // is exactly what Serialize gives for the tree (TAB indents, CR LF after every line).
  bool Parse(std::string_view text);

 private:
  static void serializeInPieces(const Node& node, std::string& piece, const std::function<void(std::string_view)>& sink);
  // Turns node's packed leaves into child nodes.
  static void unpack(Node& node);

  std::vector<std::unique_ptr<Node>> top_;
};

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

  // The failure text for a record that lacks a node its list row needs, or empty.
  virtual std::string RowFailure(int r) const = 0;

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

namespace corvane {
// A store value: leading characters of code 32 or less would read back as levels, and a
// line break would split the node, so both are taken out (breaks become blanks).
std::string StoreValue(std::string_view text);
// The same in place, for every line of a list.
void MakeStoreValues(TLineList& lines);
}  // namespace corvane
