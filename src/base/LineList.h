#pragma once
// A list of 8-bit text lines kept packed: the bytes of the lines lie one after another in a
// few large blocks, and each line costs 12 bytes beside them. A message body of a million
// lines takes about its own size, not twice or three times it as a string per line would.
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TLineList {
 public:
  TLineList() = default;
  TLineList(std::initializer_list<std::string_view> lines);
  TLineList(const std::vector<std::string>& lines);  // NOLINT: a copy of the lines, as a list

  int Count() const { return static_cast<int>(refs_.size()); }
  bool Empty() const { return refs_.empty(); }
  // Raises EListError "List index out of bounds (%d)" for a bad index.
  std::string_view operator[](int index) const;

  int Add(std::string_view text);
  void Insert(int index, std::string_view text);
  void Delete(int index);
  // Deletes count lines from index on.
  void Delete(int index, int count);
  void Clear();

  // Every line followed by CR LF.
  std::string Text() const;
  // The lines split at CR LF, a lone CR and a lone LF; a last line without its end counts.
  static TLineList FromText(std::string_view text);
  // A copy of every line, for callers that need strings of their own.
  std::vector<std::string> Items() const;
  // The first count lines, copied.
  TLineList First(int count) const;

  // Editing in place, without a copy: the bytes of line index, and making the line the
  // part of them that starts at from and has length bytes.
  std::span<char> MutableLine(int index);
  void Narrow(int index, size_t from, size_t length);
  // Splits every line at every occurrence of separator, which is dropped.
  void SplitLines(std::string_view separator);

  // The bytes of all lines together, without line ends.
  size_t TextBytes() const;

  // Reads the lines in order, each as a view into the list.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const { return list_->at(index_); }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++index_;
      return old;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }

   private:
    friend class TLineList;
    const_iterator(const TLineList* list, size_t index) : list_(list), index_(index) {}
    const TLineList* list_ = nullptr;
    size_t index_ = 0;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, refs_.size()}; }

 private:
  struct Ref {
    uint32_t block;
    uint32_t offset;
    uint32_t length;
  };
  std::string_view at(size_t index) const {
    const Ref& ref = refs_[index];
    return std::string_view(blocks_[ref.block]).substr(ref.offset, ref.length);
  }
  Ref place(std::string_view text);
  void checkIndex(int index) const;

  std::vector<std::string> blocks_;  // each filled up to its capacity, never grown past it
  std::vector<Ref> refs_;
  size_t bytes_ = 0;  // of all blocks, for the size of the next one
};

// How many of count lines, each with a CR LF, fit in maxBytes, at least one when there are
// any: what a window shows of a text too long to show whole. sizeOf(i) is line i's length.
template <typename SizeOf>
int LinesThatFit(int count, size_t maxBytes, SizeOf&& sizeOf) {
  size_t bytes = 0;
  int fit = 0;
  while (fit < count && (fit == 0 || bytes + sizeOf(fit) + 2 <= maxBytes)) bytes += sizeOf(fit++) + 2;
  return fit;
}
