#pragma once
// A store file written anew beside the one it replaces ("<name>.new"): pieces of the old
// file (root line, kept records, the lines after the records) and records from memory,
// copied as they are from a file in the form the store writes, or line by line into that
// form from any other. The file goes when the writer does, unless it took the store's
// place (Replace), so a write given up or failed leaves nothing behind.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct StorePiece {
  int64_t start = -1;  // bytes [start, start + length) of the source file...
  int64_t length = 0;
  std::string_view bytes;  // ...or these, when start is -1
  bool root = false;       // the source's root line: level 0 whatever its indent
};

// Hands the bytes of pieces of source to sink, as they are from a source in the store's
// own form (canonical), otherwise line by line as the store writes lines. False when cancel
// was set before the end; "Cannot open file %s" (storePath) when source cannot be read.
bool CopyPieces(int source, bool canonical, const std::vector<StorePiece>& pieces, const std::string& storePath,
                const std::function<void(std::string_view)>& sink, const std::atomic<bool>* cancel = nullptr);

class StoreWriter {
 public:
  // Creates the file beside the store at storePath, empty; "Cannot create file %s".
  explicit StoreWriter(std::string storePath);
  ~StoreWriter();
  StoreWriter(const StoreWriter&) = delete;
  StoreWriter& operator=(const StoreWriter&) = delete;

  static std::string TempPath(const std::string& storePath) { return storePath + ".new"; }

  // Appends pieces of source, which is in the store's own form when canonical. False when
  // cancel was set before the end.
  bool Write(int source, bool canonical, const std::vector<StorePiece>& pieces,
             const std::atomic<bool>* cancel = nullptr);
  int64_t Size() const { return size_; }
  uint64_t Inode() const { return inode_; }
  // Puts what was written on disk.
  void Sync();
  // The file takes the store's place, and the folder entry is synced. It stays open: the
  // store reads from here on what it wrote, whatever another program renames meanwhile.
  void Replace();
  // After Replace: the open file, now the caller's to close.
  int ReleaseFd();

 private:
  void fail() const;
  void writeBytes(std::string_view bytes);
  void writeBehind();

  std::string storePath_;
  std::string path_;
  int fd_ = -1;
  int64_t size_ = 0;
  int64_t started_ = 0;  // writeback asked for up to here...
  int64_t waited_ = 0;   // ...and done up to here
  uint64_t inode_ = 0;
};
