#pragma once
// The ordered tree of text nodes that both message stores rest on, and its indented file
// format: one line per node, level TABs, text, CR LF.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Exceptions.h"
#include "LineList.h"

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
  static void serializeInPieces(const Node& node, std::string& piece,
                                const std::function<void(std::string_view)>& sink);
  // Turns node's packed leaves into child nodes.
  static void unpack(Node& node);

  std::vector<std::unique_ptr<Node>> top_;
};

namespace corvane {
// A store value: leading characters of code 32 or less would read back as levels, and a
// line break would split the node, so both are taken out (breaks become blanks).
std::string StoreValue(std::string_view text);
// The same in place, for every line of a list.
void MakeStoreValues(TLineList& lines);
}  // namespace corvane
