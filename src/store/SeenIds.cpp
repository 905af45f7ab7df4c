#include "SeenIds.h"

#include "Streams.h"
#include "SysUtils.h"

namespace {

std::unordered_set<std::string> readIds(const std::string& path) {
  std::unordered_set<std::string> ids;
  if (!corvane::FileExists(path)) return ids;
  const std::string text = corvane::ReadFile(path);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    if (end > start) ids.insert(text.substr(start, end - start));
  return ids;
}

}  // namespace

SeenIds::SeenIds(std::string path, std::string account) : path_(std::move(path)), account_(std::move(account)) {}

void SeenIds::Begin(std::vector<std::string> ids) {
  ids_ = std::move(ids);
  for (std::string& id : ids_) id.insert(0, account_);
  storedNow_.assign(ids_.size(), false);
  seen_ = ids_.empty() ? std::unordered_set<std::string>() : readIds(path_);
}

bool SeenIds::Seen(int n) const {
  return Active() && seen_.contains(ids_[static_cast<size_t>(n - 1)]);
}

void SeenIds::Stored(int n) {
  if (Active()) storedNow_[static_cast<size_t>(n - 1)] = true;
}

void SeenIds::Commit() const {
  if (!Active()) return;
  std::string text;
  for (const std::string& id : seen_)
    if (!id.starts_with(account_)) text += id + "\n";
  for (size_t i = 0; i < ids_.size(); ++i)
    if (storedNow_[i] || seen_.contains(ids_[i])) text += ids_[i] + "\n";
  corvane::WriteFileAtomically(path_, text);
}
