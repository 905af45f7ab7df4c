#include "AddressBook.h"

#include <QString>
#include <map>

#include "Streams.h"
#include "StringList.h"
#include "TextCodec.h"

namespace AddressBook {

std::string NameOf(std::string_view entry) {
  const size_t eq = entry.find('=');
  return eq == std::string_view::npos ? std::string() : std::string(entry.substr(0, eq));
}

std::string AddressOf(std::string_view entry) {
  const size_t eq = entry.find('=');
  return eq == std::string_view::npos ? std::string() : std::string(entry.substr(eq + 1));
}

namespace {
// Names are compared as the user reads them, so letters beyond ASCII fold too.
QString folded(std::string_view text) {
  return QString::fromStdU16String(corvane::BytesToUtf16(text)).toCaseFolded();
}
}  // namespace

std::string Lookup(const std::vector<std::string>& entries, std::string_view name) {
  const QString wanted = folded(name);
  for (const std::string& entry : entries)
    if (folded(NameOf(entry)) == wanted) return AddressOf(entry);
  return {};
}

std::string Entry(std::string_view text) {
  std::string entry(text);
  for (char& c : entry)
    if (c == '\r' || c == '\n') c = ' ';
  return entry;
}

std::vector<std::string> Load(const std::string& path) {
  TStringList lines;
  lines.SetText(corvane::ReadFile(path));
  return lines.Items();
}

void Save(const std::string& path, const std::vector<std::string>& entries) {
  std::string bytes;
  for (const std::string& entry : entries) {
    bytes += entry;
    bytes += "\r\n";
  }
  corvane::WriteFileAtomically(path, bytes);
}

}  // namespace AddressBook

std::vector<std::string> AddressBookFile::Load() {
  seen_ = corvane::StampOf(path_);
  base_ = seen_.exists ? AddressBook::Load(path_) : std::vector<std::string>{};
  return base_;
}

std::vector<std::string> AddressBookFile::Save(const std::vector<std::string>& entries) {
  std::vector<std::string> result = entries;
  if (corvane::StampOf(path_) != seen_ && corvane::FileExists(path_)) {
    std::map<std::string, int> unmatched;  // left over: entries this side deleted
    for (const std::string& entry : base_) ++unmatched[entry];
    result.clear();
    for (const std::string& entry : entries) {
      auto it = unmatched.find(entry);
      if (it != unmatched.end() && it->second > 0)
        --it->second;
      else
        result.push_back(entry);
    }
    for (const std::string& entry : AddressBook::Load(path_)) {
      auto it = unmatched.find(entry);
      if (it != unmatched.end() && it->second > 0)
        --it->second;
      else
        result.push_back(entry);
    }
  }
  AddressBook::Save(path_, result);
  seen_ = corvane::StampOf(path_);
  base_ = result;
  return result;
}
