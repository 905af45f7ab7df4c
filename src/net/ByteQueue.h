#pragma once
// A FIFO of bytes for the receive buffer and the send queue. Bytes are taken from the
// front by moving a read offset; the storage is compacted only when the consumed part
// outweighs the rest, so taking lines or sent chunks costs time linear in the bytes.
// Received bytes can be read straight into the free space at the back (Room, Commit).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Streams.h"

class TByteQueue {
 public:
  // Unread bytes.
  int64_t Size() const { return static_cast<int64_t>(tail_ - head_); }
  bool Empty() const { return head_ == tail_; }
  std::string_view View() const { return std::string_view(data_.get() + head_, tail_ - head_); }
  std::string ToString() const { return std::string(View()); }

  void Clear();
  void Append(std::string_view bytes);
  void Append(const char* bytes, int64_t count) { Append(std::string_view(bytes, count)); }
  // Appends up to count bytes from source's position, read straight into the queue;
  // returns how many came.
  int64_t AppendFrom(TStream& source, int64_t count);
  // Free space for at least count more bytes at the back; Commit appends the first n of
  // them. Nothing else may change the queue in between.
  char* Room(size_t count);
  void Commit(size_t n) { tail_ += n; }
  // Drops count bytes (at most Size()) from the front.
  void Consume(int64_t count);

  // True when a line feed lies among the unread bytes.
  bool HasLine() const;
  // Moves the bytes through the first line feed into line; false (line untouched) when
  // no line feed has arrived yet.
  bool TakeLine(std::string& line);
  // The unread bytes through the last line feed: every complete line, none of a partial
  // one. Valid until the queue changes.
  std::string_view CompleteLines() const;

 private:
  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
  size_t head_ = 0;
  size_t tail_ = 0;
  // Bytes from head_ up to here hold no line feed; spares rescanning a long partial line.
  mutable size_t scanned_ = 0;
};
