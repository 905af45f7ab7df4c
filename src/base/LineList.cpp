#include "LineList.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "Exceptions.h"
#include "SysUtils.h"

namespace {
// Blocks grow with the list, so that a short list takes little and a long one few blocks;
// past this size a new block would only leave more unused at its end.
constexpr size_t kFirstBlock = 64;
constexpr size_t kLargestBlock = 1 << 20;
constexpr size_t kMaxLine = std::numeric_limits<uint32_t>::max();
}  // namespace

TLineList::TLineList(std::initializer_list<std::string_view> lines) {
  for (std::string_view line : lines) Add(line);
}

TLineList::TLineList(const std::vector<std::string>& lines) {
  refs_.reserve(lines.size());
  for (const std::string& line : lines) Add(line);
}

void TLineList::checkIndex(int index) const {
  if (index < 0 || index >= Count()) throw EListError(corvane::Format("List index out of bounds (%d)", index));
}

std::string_view TLineList::operator[](int index) const {
  checkIndex(index);
  return at(static_cast<size_t>(index));
}

TLineList::Ref TLineList::place(std::string_view text) {
  if (text.size() > kMaxLine) throw std::length_error("line too long for a line list");
  if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < text.size()) {
    if (blocks_.size() >= kMaxLine) throw std::length_error("too many blocks in a line list");
    std::string block;
    block.reserve(std::max(text.size(), std::clamp(bytes_, kFirstBlock, kLargestBlock)));
    bytes_ += block.capacity();
    blocks_.push_back(std::move(block));
  }
  std::string& block = blocks_.back();
  const Ref ref{static_cast<uint32_t>(blocks_.size() - 1), static_cast<uint32_t>(block.size()),
                static_cast<uint32_t>(text.size())};
  block.append(text);
  return ref;
}

int TLineList::Add(std::string_view text) {
  refs_.push_back(place(text));
  return Count() - 1;
}

void TLineList::Insert(int index, std::string_view text) {
  if (index < 0 || index > Count()) throw EListError(corvane::Format("List index out of bounds (%d)", index));
  const Ref ref = place(text);
  refs_.insert(refs_.begin() + index, ref);
}

void TLineList::Delete(int index) {
  checkIndex(index);
  // The bytes stay in their block until the list is cleared.
  refs_.erase(refs_.begin() + index);
}

void TLineList::Delete(int index, int count) {
  if (count <= 0) return;
  checkIndex(index);
  checkIndex(index + count - 1);
  refs_.erase(refs_.begin() + index, refs_.begin() + index + count);
}

void TLineList::Clear() {
  refs_.clear();
  refs_.shrink_to_fit();
  blocks_.clear();
  blocks_.shrink_to_fit();
  bytes_ = 0;
}

std::string TLineList::Text() const {
  std::string text;
  text.reserve(TextBytes() + 2 * refs_.size());
  for (size_t i = 0; i < refs_.size(); ++i) {
    text += at(i);
    text += "\r\n";
  }
  return text;
}

TLineList TLineList::FromText(std::string_view text) {
  TLineList lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.Add(text.substr(start));
      break;
    }
    lines.Add(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
  return lines;
}

std::vector<std::string> TLineList::Items() const {
  std::vector<std::string> items;
  items.reserve(refs_.size());
  for (size_t i = 0; i < refs_.size(); ++i) items.emplace_back(at(i));
  return items;
}

TLineList TLineList::First(int count) const {
  TLineList first;
  const size_t n = std::min(refs_.size(), static_cast<size_t>(std::max(count, 0)));
  first.refs_.reserve(n);
  for (size_t i = 0; i < n; ++i) first.Add(at(i));
  return first;
}

std::span<char> TLineList::MutableLine(int index) {
  checkIndex(index);
  const Ref& ref = refs_[static_cast<size_t>(index)];
  return {blocks_[ref.block].data() + ref.offset, ref.length};
}

void TLineList::Narrow(int index, size_t from, size_t length) {
  checkIndex(index);
  Ref& ref = refs_[static_cast<size_t>(index)];
  from = std::min<size_t>(from, ref.length);
  ref.offset += static_cast<uint32_t>(from);
  ref.length = static_cast<uint32_t>(std::min<size_t>(length, ref.length - from));
}

void TLineList::SplitLines(std::string_view separator) {
  if (separator.empty()) return;
  std::vector<Ref> split;
  bool any = false;
  for (size_t i = 0; i < refs_.size(); ++i) {
    const Ref ref = refs_[i];
    const std::string_view line = at(i);
    size_t start = 0;
    for (size_t end; (end = line.find(separator, start)) != std::string_view::npos; start = end + separator.size()) {
      if (!any) {
        // Most lists have nothing to split: they keep their index as it is.
        split.reserve(refs_.size() + 1);
        split.assign(refs_.begin(), refs_.begin() + static_cast<std::ptrdiff_t>(i));
        any = true;
      }
      split.push_back({ref.block, ref.offset + static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)});
    }
    if (any)
      split.push_back({ref.block, ref.offset + static_cast<uint32_t>(start), static_cast<uint32_t>(line.size() - start)});
  }
  if (any) refs_ = std::move(split);
}

size_t TLineList::TextBytes() const {
  size_t bytes = 0;
  for (const Ref& ref : refs_) bytes += ref.length;
  return bytes;
}
