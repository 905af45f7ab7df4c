#pragma once
// One reading of a store file from front to back, at the speed of the disk, into its index:
// the root line, each record with its row's texts and its hash, the top-level lines after
// the records, and where an invalid level stops the reading. It follows the text tree's
// rules (line ends, indents, levels), so what it finds is what TextTree::Parse builds.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "LineSplitter.h"
#include "StoreIndex.h"

struct XXH3_state_s;

class StoreScan {
 public:
  // Fills index, which holds what was read before offset (nothing for a new reading).
  StoreScan(StoreIndex& index, const RowLabels& labels, int64_t offset = 0);
  ~StoreScan();
  StoreScan(const StoreScan&) = delete;
  StoreScan& operator=(const StoreScan&) = delete;

  // Goes on after the root line: offset starts a record or ends the records.
  void AfterRoot();
  // The next bytes of the file.
  void Feed(std::string_view bytes);
  // The end of the file.
  void Finish();

 private:
  enum class Part { Root, Records, After, Stopped };

  void line(int64_t offset, std::string_view raw, size_t endLength);
  void recordLine(int level, std::string_view text);
  void hashLine(int level, std::string_view raw, std::string_view text, bool canonical);
  void flushRun();
  void openRecord(int64_t offset);
  void closeRecord(int64_t end);
  void endRecords(int64_t offset);

  StoreIndex& index_;
  const RowLabels labels_;
  LineSplitter lines_;
  Part part_ = Part::Root;
  int lastLevel_ = 0;
  std::unique_ptr<XXH3_state_s, void (*)(XXH3_state_s*)> hash_;
  std::string_view chunk_;          // the bytes being fed
  const char* runStart_ = nullptr;  // lines of the record not yet hashed, in chunk_
  const char* runEnd_ = nullptr;

  // The record being read.
  bool inRecord_ = false;
  IndexEntry record_;
  int labelCount_ = 0;
  int valueCount_ = 0;  // of the last label
  bool hasFrom_ = false, hasSubject_ = false, hasDate_ = false;
  uint32_t valued_ = 0;  // bit i: label i has a value
  std::string from_, subject_, date_;
};

// Reads the file at fd from offset on into index (see StoreScan), adding the bytes read to
// done as it goes. False when cancel was set before the end; "Cannot open file %s" (path)
// when the file cannot be read.
bool ScanStoreFile(int fd, const std::string& path, StoreIndex& index, const RowLabels& labels, int64_t offset,
                   const std::atomic<bool>* cancel = nullptr, std::atomic<int64_t>* done = nullptr);

// The entry (start 0) and row texts of one record's bytes, written or not as the store
// writes them, added to index.
void ScanRecord(std::string_view bytes, StoreIndex& index, const RowLabels& labels);
