#include "StringList.h"

#include <algorithm>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "Exceptions.h"
#include "Streams.h"
#include "SysUtils.h"

const std::string& TStringList::operator[](int index) const {
  checkIndex(index);
  return items_[static_cast<size_t>(index)];
}

void TStringList::checkIndex(int index) const {
  if (index < 0 || index >= Count()) throw EListError(corvane::Format("List index out of bounds (%d)", index));
}

void TStringList::Put(int index, std::string text) {
  checkIndex(index);
  items_[static_cast<size_t>(index)] = std::move(text);
}

int TStringList::Add(std::string text) {
  if (!sorted_) {
    items_.push_back(std::move(text));
    return Count() - 1;
  }
  int index = 0;
  Find(text, index);
  items_.insert(items_.begin() + index, std::move(text));
  return index;
}

void TStringList::Insert(int index, std::string text) {
  if (index < 0 || index > Count()) throw EListError(corvane::Format("List index out of bounds (%d)", index));
  items_.insert(items_.begin() + index, std::move(text));
}

void TStringList::Delete(int index) {
  checkIndex(index);
  items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(std::string_view text) const {
  if (sorted_) {
    int index = 0;
    return Find(text, index) ? index : -1;
  }
  for (int i = 0; i < Count(); ++i)
    if (CompareStrings(items_[static_cast<size_t>(i)], text) == 0) return i;
  return -1;
}

void TStringList::SetSorted(bool sorted) {
  if (sorted && !sorted_)
    std::stable_sort(items_.begin(), items_.end(),
                     [this](const std::string& a, const std::string& b) { return CompareStrings(a, b) < 0; });
  sorted_ = sorted;
}

bool TStringList::Find(std::string_view text, int& index) const {
  int lo = 0;
  int hi = Count() - 1;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = CompareStrings(items_[static_cast<size_t>(mid)], text);
    if (c < 0)
      lo = mid + 1;
    else if (c > 0)
      hi = mid - 1;
    else {
      index = mid;
      return true;
    }
  }
  index = lo;
  return false;
}

std::string TStringList::Text() const {
  size_t total = 0;
  for (const auto& s : items_) total += s.size() + 2;
  std::string out;
  out.reserve(total);
  for (const auto& s : items_) {
    out += s;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(std::string_view text) {
  items_.clear();
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    items_.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) items_.emplace_back(text.substr(start));
  if (sorted_) {
    sorted_ = false;
    SetSorted(true);
  }
}

void TStringList::LoadFromFile(const std::string& path) {
  SetText(corvane::ReadFile(path));
}

void TStringList::SaveToFile(const std::string& path) const {
  corvane::WriteFileAtomically(path, Text());
}

namespace {

// The text as wide characters of the user's locale, each folded to lower case. A byte
// that starts no valid character becomes U+DC00 + byte, so every text converts and the
// order stays total.
std::wstring foldWide(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  std::mbstate_t state{};
  size_t i = 0;
  while (i < s.size()) {
    wchar_t wc = 0;
    const size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      wc = static_cast<wchar_t>(0xDC00 + static_cast<unsigned char>(s[i]));
      state = std::mbstate_t{};
      i += 1;
    } else {
      i += n == 0 ? 1 : n;
    }
    out.push_back(static_cast<wchar_t>(std::towlower(static_cast<wint_t>(wc))));
  }
  return out;
}

int sign(int c) {
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

int TStringList::CompareStrings(std::string_view a, std::string_view b) const {
  // Fold case per character, let the locale's collation order the folded texts, and
  // break its ties by code point so that only texts equal but for case compare equal.
  const std::wstring fa = foldWide(a);
  const std::wstring fb = foldWide(b);
  if (fa.find(L'\0') == std::wstring::npos && fb.find(L'\0') == std::wstring::npos) {
    const int c = std::wcscoll(fa.c_str(), fb.c_str());
    if (c != 0) return sign(c);
  }
  return sign(fa.compare(fb));
}
