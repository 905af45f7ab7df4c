#pragma once
// An ordered list of 8-bit text lines with an optional sorted mode.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TStringList {
public:
  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EListError "List index out of bounds (%d)" for a bad index.
  const std::string& operator[](int index) const;
  const std::string& Strings(int index) const { return (*this)[index]; }
  void Put(int index, std::string text);

  // On a sorted list Add inserts at the sorted place; otherwise it appends.
  int Add(std::string text);
  void Insert(int index, std::string text);
  void Delete(int index);
  void Clear() { items_.clear(); }
  void Assign(const TStringList& other) { items_ = other.items_; }

  // Index of the first line equal to text under CompareStrings, or -1.
  int IndexOf(std::string_view text) const;

  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);

  // Every line followed by CR LF.
  std::string Text() const;
  // Splits at CR LF, a lone CR and a lone LF; a last line without its end counts.
  void SetText(std::string_view text);
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

  // Case-insensitive comparison of the user's locale; orders a sorted list.
  virtual int CompareStrings(std::string_view a, std::string_view b) const;

  const std::vector<std::string>& Items() const { return items_; }
  // Hands the lines over without copying them and leaves the list empty.
  std::vector<std::string> TakeItems() { return std::exchange(items_, {}); }

protected:
  void checkIndex(int index) const;
  // Binary search on a sorted list: true and the index when found, else the insertion point.
  bool Find(std::string_view text, int& index) const;

  std::vector<std::string> items_;
  bool sorted_ = false;
};
