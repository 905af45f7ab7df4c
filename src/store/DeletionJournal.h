#pragma once
// The deletions that are not yet compacted out of a store file ("mailin.txt.deleted"), in
// the text tree format: the root "Deleted", a node "store <inode>" for the file its
// entries belong to, and under it a node "msg <start> <length> <hash>" per deleted record,
// with the record's sender and subject below it for whoever reads the file. A deletion is
// synced here before its record is hidden, so a crash never brings it back; a compaction
// adds a section for its new file before that file takes the store's place, so whichever
// file a crash leaves, the journal names it.
#include <cstdint>
#include <string>
#include <vector>

class DeletionJournal {
 public:
  struct Entry {
    int64_t start = 0;
    int64_t length = 0;
    uint64_t hash = 0;
    std::string from;
    std::string subject;
  };
  struct Section {
    uint64_t inode = 0;
    std::vector<Entry> entries;
  };

  explicit DeletionJournal(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  // The sections as far as they can be read; an entry a crash cut short is left out.
  std::vector<Section> Read() const;
  // Adds one deletion from the file of inode, synced; "Cannot create file %s".
  void Append(uint64_t inode, const Entry& entry);
  // Adds a section for the file of inode, synced.
  void AddSection(uint64_t inode, const std::vector<Entry>& entries);
  // Makes the journal one section, atomically; removes it when there are no entries.
  void Reset(uint64_t inode, const std::vector<Entry>& entries);

 private:
  void appendSynced(const std::string& bytes);

  std::string path_;
  uint64_t lastInode_ = 0;  // of the last section written here; 0 before the first
};
