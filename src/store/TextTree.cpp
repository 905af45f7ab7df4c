#include "TextTree.h"

#include "Exceptions.h"
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
      throw ETextTreeError(corvane::Format("Invalid level (%d) for item \"%s\"", level, std::string(nodeText).c_str()));
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
