#include "ZnExtstr.h"

#include <string>

namespace {

// The text before the first ":", or nothing when the line has no colon.
bool headerName(std::string_view line, std::string_view& name) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  name = line.substr(0, colon);
  return true;
}

}  // namespace

int TExStringList::IndexOfHeader(std::string_view Name) const {
  std::string_view name;
  if (Sorted()) {
    int lo = 0;
    int hi = Count() - 1;
    while (lo <= hi) {
      const int mid = lo + (hi - lo) / 2;
      const bool named = headerName(items_[static_cast<size_t>(mid)], name);
      if (!named) name = {};
      const int c = CompareStrings(name, Name);
      if (c == 0 && named) return mid;
      if (c == 0) break;
      if (c < 0)
        lo = mid + 1;
      else
        hi = mid - 1;
    }
    // The list is ordered by whole lines, and "To-X: a" sorts before "To: b" although
    // "To" sorts before "To-X": a miss of the search is not yet proof of absence.
  }
  for (int i = 0; i < Count(); ++i)
    if (headerName(items_[static_cast<size_t>(i)], name) && CompareStrings(name, Name) == 0) return i;
  return -1;
}

void TExStringList::SetHeader(std::string_view Name, std::string_view Value) {
  int i = IndexOfHeader(Name);
  if (Value.empty()) {
    if (i != -1) Delete(i);
    return;
  }
  std::string line;
  line.reserve(Name.size() + 2 + Value.size());
  line.append(Name).append(": ").append(Value);
  if (Sorted()) {
    // A sorted list keeps its order: the new line goes to its sorted place.
    if (i != -1) Delete(i);
    Add(std::move(line));
    return;
  }
  if (i == -1) i = Add(std::string());
  Put(i, std::move(line));
}
