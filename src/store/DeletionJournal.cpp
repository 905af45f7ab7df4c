#include "DeletionJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "Exceptions.h"
#include "Streams.h"
#include "SysUtils.h"
#include "TextTree.h"

namespace {

constexpr const char* kRoot = "Deleted\r\n";

std::string sectionLine(uint64_t inode) {
  return corvane::Format("store %llu", static_cast<unsigned long long>(inode));
}

std::string entryLine(const DeletionJournal::Entry& e) {
  return corvane::Format("msg %lld %lld %016llx", static_cast<long long>(e.start), static_cast<long long>(e.length),
                         static_cast<unsigned long long>(e.hash));
}

std::string entryBytes(const DeletionJournal::Entry& e) {
  return "\t\t" + entryLine(e) + "\r\n\t\t\t" + e.from + "\r\n\t\t\t" + e.subject + "\r\n";
}

std::string sectionBytes(uint64_t inode, const std::vector<DeletionJournal::Entry>& entries) {
  std::string out = "\t" + sectionLine(inode) + "\r\n";
  for (const DeletionJournal::Entry& e : entries) out += entryBytes(e);
  return out;
}

// A line counts only as it is written whole: a crash can cut one short anywhere.
bool parseSection(std::string_view text, uint64_t& inode) {
  unsigned long long value = 0;
  return std::sscanf(std::string(text).c_str(), "store %llu", &value) == 1 && sectionLine(value) == text &&
         (inode = value, true);
}

bool parseEntry(std::string_view text, DeletionJournal::Entry& e) {
  long long start = 0, length = 0;
  unsigned long long hash = 0;
  if (std::sscanf(std::string(text).c_str(), "msg %lld %lld %llx", &start, &length, &hash) != 3) return false;
  e.start = start;
  e.length = length;
  e.hash = hash;
  return start >= 0 && length > 0 && entryLine(e) == text;
}

}  // namespace

std::vector<DeletionJournal::Section> DeletionJournal::Read() const {
  std::vector<Section> sections;
  if (!corvane::FileExists(path_)) return sections;
  TextTree tree;
  try {
    tree.Parse(corvane::ReadFile(path_));
  } catch (const ETextTreeError&) {
    // What was read before the damage still counts.
  }
  if (tree.Empty()) return sections;
  const TextTree::Node& root = tree.FirstNode();
  for (int s = 0; s < root.Count(); ++s) {
    Section section;
    if (!parseSection(TextTree::ChildText(root, s), section.inode)) continue;
    const TextTree::Node& node = tree.Child(root, s);
    for (int i = 0; i < node.Count(); ++i) {
      Entry e;
      if (!parseEntry(TextTree::ChildText(node, i), e)) continue;
      const TextTree::Node& entry = tree.Child(node, i);
      if (entry.Count() > 0) e.from = TextTree::ChildText(entry, 0);
      if (entry.Count() > 1) e.subject = TextTree::ChildText(entry, 1);
      section.entries.push_back(std::move(e));
    }
    sections.push_back(std::move(section));
  }
  return sections;
}

void DeletionJournal::Append(uint64_t inode, const Entry& entry) {
  if (lastInode_ != inode) return AddSection(inode, {entry});
  appendSynced(entryBytes(entry));
}

void DeletionJournal::AddSection(uint64_t inode, const std::vector<Entry>& entries) {
  const bool fresh = !corvane::FileExists(path_);
  appendSynced((fresh ? kRoot : "") + sectionBytes(inode, entries));
  lastInode_ = inode;
}

void DeletionJournal::Reset(uint64_t inode, const std::vector<Entry>& entries) {
  if (entries.empty()) {
    if (::unlink(path_.c_str()) == 0) corvane::SyncFolderOf(path_);
    lastInode_ = 0;
    return;
  }
  corvane::WriteFileAtomically(path_, kRoot + sectionBytes(inode, entries));
  lastInode_ = inode;
}

void DeletionJournal::appendSynced(const std::string& bytes) {
  const bool existed = corvane::FileExists(path_);
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, corvane::kPrivateFileMode);
  if (fd < 0) throw EFCreateError("Cannot create file " + path_);
  const bool ok = corvane::WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok) throw EFCreateError("Cannot create file " + path_);
  if (!existed) corvane::SyncFolderOf(path_);
}
