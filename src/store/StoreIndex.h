#pragma once
// What a store's list needs of its file, without the messages themselves: where the root
// line, each record and whatever follows the records lie, the short texts a row shows of
// each record (sender, subject and, for the inbox, the Date header), and a hash of each
// record's bytes as the store writes them. A few dozen bytes a record, whatever its size.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One record of a store: its bytes in the file, or none yet (start -1) for a record that is
// still to be written.
struct IndexEntry {
  int64_t start = -1;
  int64_t length = 0;
  uint64_t hash = 0;  // of the record's lines as the store writes them
  uint64_t text = 0;  // where sender, subject and date lie, one after another, in the texts
  uint16_t fromLength = 0;
  uint16_t subjectLength = 0;
  uint16_t dateLength = 0;
  int16_t failure = -1;  // the index of "List index out of bounds (%d)" when the row lacks a node

  int64_t End() const { return start + length; }
};

// Where a store's rows find their texts: child 0 of the label at from and at subject, and
// the "Date:" line among the values of the label at header (-1: none). A subject value is
// optional in the inbox, required in the outbox. A store may require a first value under
// other labels too (bit i: label i), checked after those, in label order.
struct RowLabels {
  int from = 0;
  int subject = 1;
  bool subjectRequired = false;
  int header = -1;
  uint32_t valuesRequired = 0;
};

struct StoreIndex {
  // A row's texts are kept up to this many bytes: a list shows no more.
  static constexpr size_t kTextBytes = 1000;

  // The layout of the file as far as it was read.
  int64_t rootEnd = 0;     // the end of the root line; 0 when the file has none
  int64_t recordsEnd = 0;  // the records end here; top-level lines after the root's follow
  int64_t validEnd = 0;    // reading stops here: the end, or a line of an invalid level
  int64_t size = 0;        // bytes read
  bool canonical = true;   // every line exactly as the store writes it
  std::string damage;      // the invalid-level failure; empty when none

  std::vector<IndexEntry> records;  // in file order
  std::string texts;

  // Appends a record with its row's texts, each cut to kTextBytes.
  void Add(IndexEntry entry, std::string_view from, std::string_view subject, std::string_view date);
  std::string_view From(const IndexEntry& e) const { return {texts.data() + e.text, e.fromLength}; }
  std::string_view Subject(const IndexEntry& e) const {
    return {texts.data() + e.text + e.fromLength, e.subjectLength};
  }
  std::string_view Date(const IndexEntry& e) const {
    return {texts.data() + e.text + e.fromLength + e.subjectLength, e.dateLength};
  }
  // The file is exactly root line and records as the store writes them, nothing after:
  // a new record may be appended to it.
  bool Clean() const {
    return rootEnd > 0 && canonical && damage.empty() && recordsEnd == validEnd && validEnd == size;
  }
};

// The text of a list cell cut to at most max bytes, never inside a UTF-8 sequence.
std::string_view CutListText(std::string_view text, size_t max);
