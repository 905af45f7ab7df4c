#include "ByteQueue.h"

#include <algorithm>
#include <cstring>

void TByteQueue::Clear() {
  data_.clear();
  head_ = 0;
  scanned_ = 0;
}

void TByteQueue::Append(std::string_view bytes) {
  if (head_ > 0 && head_ >= data_.size() / 2) compact();
  data_.append(bytes);
}

int64_t TByteQueue::AppendFrom(TStream& source, int64_t count) {
  if (head_ > 0 && head_ >= data_.size() / 2) compact();
  const int64_t left = std::min(count, source.Size() - source.Position());
  if (left <= 0) return 0;
  const size_t start = data_.size();
  data_.resize(start + static_cast<size_t>(left));
  const int64_t got = std::max<int64_t>(source.Read(data_.data() + start, left), 0);
  data_.resize(start + static_cast<size_t>(got));
  return got;
}

void TByteQueue::Consume(int64_t count) {
  if (count <= 0) return;
  head_ += std::min(static_cast<size_t>(count), data_.size() - head_);
  if (scanned_ < head_) scanned_ = head_;
  if (head_ == data_.size()) Clear();
}

bool TByteQueue::HasLine() const {
  if (scanned_ < head_) scanned_ = head_;
  const void* found = std::memchr(data_.data() + scanned_, '\n', data_.size() - scanned_);
  if (found) return true;
  scanned_ = data_.size();
  return false;
}

bool TByteQueue::TakeLine(std::string& line) {
  if (scanned_ < head_) scanned_ = head_;
  const char* start = data_.data() + scanned_;
  const void* found = std::memchr(start, '\n', data_.size() - scanned_);
  if (!found) {
    scanned_ = data_.size();
    return false;
  }
  size_t end = static_cast<size_t>(static_cast<const char*>(found) - data_.data()) + 1;
  line.assign(data_, head_, end - head_);
  head_ = end;
  scanned_ = end;
  if (head_ == data_.size()) Clear();
  return true;
}

std::string_view TByteQueue::CompleteLines() const {
  const std::string_view unread = View();
  const size_t last = unread.rfind('\n');
  return last == std::string_view::npos ? std::string_view() : unread.substr(0, last + 1);
}

void TByteQueue::compact() {
  data_.erase(0, head_);
  scanned_ -= head_;
  head_ = 0;
}
