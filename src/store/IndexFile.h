#pragma once
// The index kept beside a store file ("mailin.txt.index"): derived data only, so any doubt
// about it means reading the store again. It names the file it was made from (device,
// inode, size, modification time) and holds hashes of the file's first and last bytes, so
// that a mismatch shows without reading the store; a file that has only grown since (an
// append by this program that no index was written after, or by another) keeps the index
// for the part it describes.
#include <span>
#include <string>

#include "StoreIndex.h"

class IndexFile {
 public:
  explicit IndexFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  enum class Fit {
    None,    // no index, or one of another file or state: read the store whole
    Whole,   // the index describes the file as it is
    Prefix,  // the file grew past what the index describes: read on from its last record
  };
  // Fills index from the index file when it fits the store file open at store.
  Fit Load(int store, StoreIndex& index) const;
  // Writes the index of the store file open at store: the layout of index with records,
  // which lie in the file in this order. False when it could not be written, which costs
  // only a reading of the store at the next start.
  bool Save(int store, const StoreIndex& index, std::span<const IndexEntry> records) const;
  void Remove() const;

 private:
  std::string path_;
};
