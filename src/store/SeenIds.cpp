#include "SeenIds.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>

#include "Streams.h"
#include "SysUtils.h"

namespace {

constexpr std::string_view kCommit = "#commit ";

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  if (!corvane::FileExists(path)) return lines;
  const std::string text = corvane::ReadFile(path);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    if (end > start) lines.push_back(text.substr(start, end - start));
  return lines;
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find(' ', start), text.size());
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

bool digits(std::string_view word) {
  if (word.empty()) return false;
  for (const char c : word)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// The id and its entry of a line's words after the account:
// "<id> <seconds> [r<hash>] [part] [del]".
bool parseEntry(std::string_view rest, std::string& id, SeenIds::Entry& entry) {
  const std::vector<std::string_view> w = words(rest);
  if (w.size() < 2 || !digits(w[1])) return false;
  id = w[0];
  entry.firstSeen = std::strtoll(std::string(w[1]).c_str(), nullptr, 10);
  for (size_t i = 2; i < w.size(); ++i) {
    if (w[i] == "del") entry.deletedHere = true;
    if (w[i] == "part") entry.partial = true;
    if (w[i].starts_with('r')) entry.record = std::strtoull(std::string(w[i].substr(1)).c_str(), nullptr, 16);
  }
  return true;
}

// The commit line's token and archive length.
bool parseCommit(std::string_view line, std::string& token, int64_t& length) {
  if (!line.starts_with(kCommit)) return false;
  const std::vector<std::string_view> w = words(line.substr(kCommit.size()));
  if (w.size() != 2 || (!digits(w[1]) && w[1] != "-")) return false;
  token = w[0];
  length = w[1] == "-" ? -1 : std::strtoll(std::string(w[1]).c_str(), nullptr, 10);
  return true;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace

SeenIds::SeenIds(std::string path, std::string host, std::string user)
    : path_(std::move(path)), host_(std::move(host)), user_(std::move(user)) {}

void SeenIds::Begin(std::vector<std::string> ids, int64_t now) {
  ids_ = std::move(ids);
  now_ = now;
  others_.clear();
  mine_.clear();
  const std::string prefix = host_ + " " + user_ + " ";
  const std::string legacyTail = " " + user_ + " ";
  for (const std::string& line : readLines(path_)) {
    std::string token, id;
    Entry entry;
    if (parseCommit(line, token, archiveLength_)) continue;
    if (line.starts_with(prefix) && parseEntry(std::string_view(line).substr(prefix.size()), id, entry)) {
      mine_.emplace(id, entry);
      continue;
    }
    // Kept per port before: the same mailbox whatever the port, stored now as far as known.
    const std::string_view rest = std::string_view(line).substr(std::min(line.size(), host_.size() + 1));
    const size_t port = rest.find(' ');
    if (line.starts_with(host_ + " ") && port != std::string_view::npos && digits(rest.substr(0, port)) &&
        rest.substr(port).starts_with(legacyTail) && words(rest.substr(port + legacyTail.size())).size() == 1) {
      mine_.emplace(std::string(rest.substr(port + legacyTail.size())), Entry{now, 0, false});
      continue;
    }
    others_.push_back(line);
  }
}

const SeenIds::Entry* SeenIds::entryOf(int n) const {
  if (!Active()) return nullptr;
  const auto it = mine_.find(ids_[static_cast<size_t>(n - 1)]);
  return it == mine_.end() ? nullptr : &it->second;
}

bool SeenIds::Seen(int n) const {
  return entryOf(n) != nullptr;
}

void SeenIds::Stored(int n, uint64_t record, bool partial) {
  if (Active()) mine_[ids_[static_cast<size_t>(n - 1)]] = Entry{now_, record, false, partial};
}

void SeenIds::Completed(int n, uint64_t record) {
  if (!Active()) return;
  Entry& entry = mine_[ids_[static_cast<size_t>(n - 1)]];
  entry.record = record;
  entry.partial = false;
}

bool SeenIds::Partial(int n) const {
  const Entry* entry = entryOf(n);
  return entry && entry->partial;
}

int SeenIds::PartialNumber(uint64_t record) const {
  for (size_t i = 0; record != 0 && i < ids_.size(); ++i)
    if (const auto it = mine_.find(ids_[i]); it != mine_.end() && it->second.partial && it->second.record == record)
      return static_cast<int>(i) + 1;
  return 0;
}

int64_t SeenIds::FirstSeen(int n) const {
  const Entry* entry = entryOf(n);
  return entry ? entry->firstSeen : -1;
}

bool SeenIds::DeletedHere(int n) const {
  const Entry* entry = entryOf(n);
  return entry && entry->deletedHere;
}

void SeenIds::Commit(const std::string& token, int64_t archiveLength) {
  std::vector<std::string> lines = others_;
  const auto line = [&](const std::string& id, const Entry& e) {
    std::string text = host_ + " " + user_ + " " + id + " " + std::to_string(e.firstSeen);
    if (e.record != 0) text += corvane::Format(" r%016" PRIx64, e.record);
    if (e.partial) text += " part";
    if (e.deletedHere) text += " del";
    lines.push_back(std::move(text));
  };
  if (Active()) {
    // Only what the mailbox still lists: the file never outgrows the mailbox.
    for (const std::string& id : ids_)
      if (const auto it = mine_.find(id); it != mine_.end()) line(id, it->second);
  } else {
    std::vector<std::string> kept;
    for (const auto& entry : mine_) kept.push_back(entry.first);
    std::sort(kept.begin(), kept.end());
    for (const std::string& id : kept) line(id, mine_.at(id));
  }
  if (archiveLength >= 0) archiveLength_ = archiveLength;
  lines.push_back(std::string(kCommit) + (token.empty() ? "-" : token) + " " +
                  (archiveLength_ < 0 ? std::string("-") : std::to_string(archiveLength_)));
  corvane::WriteFileAtomically(path_, joined(lines));
}

bool SeenIds::Committed(const std::string& path, const std::string& token) {
  std::string found;
  int64_t length = 0;
  for (const std::string& line : readLines(path))
    if (parseCommit(line, found, length) && found == token) return true;
  return false;
}

int64_t SeenIds::ArchiveLength(const std::string& path) {
  std::string token;
  int64_t length = -1;
  for (const std::string& line : readLines(path)) parseCommit(line, token, length);
  return length;
}

void SeenIds::RecordArchiveLength(const std::string& path, int64_t length) {
  std::vector<std::string> lines = readLines(path);
  lines.push_back(std::string(kCommit) + "- " + std::to_string(length));
  corvane::WriteFileAtomically(path, joined(lines));
}

bool SeenIds::IsPartial(const std::string& path, uint64_t record) {
  if (record == 0) return false;
  const std::string name = corvane::Format(" r%016" PRIx64, record);
  for (const std::string& line : readLines(path)) {
    const size_t at = line.find(name);
    if (at != std::string::npos && std::string_view(line).substr(at + name.size()).starts_with(" part")) return true;
  }
  return false;
}

void SeenIds::MarkDeleted(const std::string& path, const std::vector<uint64_t>& records) {
  if (records.empty() || !corvane::FileExists(path)) return;
  std::vector<std::string> lines = readLines(path);
  // The unmarked lines naming each record, so that deleting a whole store stays linear.
  std::unordered_multimap<uint64_t, size_t> naming;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].ends_with(" del")) continue;
    const size_t at = lines[i].rfind(" r");
    if (at != std::string::npos) naming.emplace(std::strtoull(lines[i].c_str() + at + 2, nullptr, 16), i);
  }
  bool changed = false;
  for (const uint64_t record : records) {
    const auto it = record == 0 ? naming.end() : naming.find(record);
    if (it == naming.end()) continue;
    lines[it->second] += " del";
    naming.erase(it);
    changed = true;
  }
  if (changed) corvane::WriteFileAtomically(path, joined(lines));
}
