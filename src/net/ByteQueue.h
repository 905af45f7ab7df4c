#pragma once
// A FIFO of bytes for the receive buffer and the send queue. Bytes are taken from the
// front by moving a read offset; the storage is compacted only when the consumed part
// outweighs the rest, so taking lines or sent chunks costs time linear in the bytes.
#include <cstdint>
#include <string>
#include <string_view>

#include "Streams.h"

class TByteQueue {
 public:
  // Unread bytes.
  int64_t Size() const { return static_cast<int64_t>(data_.size() - head_); }
  bool Empty() const { return head_ == data_.size(); }
  std::string_view View() const { return std::string_view(data_).substr(head_); }
  std::string ToString() const { return std::string(View()); }

  void Clear();
  void Append(std::string_view bytes);
  void Append(const char* bytes, int64_t count) { Append(std::string_view(bytes, count)); }
  // Appends up to count bytes from source's position, read straight into the queue;
  // returns how many came.
  int64_t AppendFrom(TStream& source, int64_t count);
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
  void compact();

  std::string data_;
  size_t head_ = 0;
  // Bytes from head_ up to here hold no line feed; spares rescanning a long partial line.
  mutable size_t scanned_ = 0;
};
