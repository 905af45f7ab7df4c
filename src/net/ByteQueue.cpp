#include "ByteQueue.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kSmallRest = 4096;

}  // namespace

void TByteQueue::Clear() {
  head_ = tail_ = scanned_ = 0;
}

char* TByteQueue::Room(size_t count) {
  const size_t unread = tail_ - head_;
  // A small rest (a partial line) goes to the front at once, so the reads that follow find
  // the whole storage free instead of moving a large unread part later.
  const bool smallRest = head_ > 0 && unread <= kSmallRest;
  if (!smallRest && capacity_ - tail_ >= count) return data_.get() + tail_;
  // Moving the unread rest to the front pays off once the consumed part outweighs it;
  // otherwise the storage doubles, so every byte is moved a bounded number of times.
  if ((smallRest || head_ >= unread) && capacity_ - unread >= count) {
    std::memmove(data_.get(), data_.get() + head_, unread);
  } else {
    capacity_ = std::max({capacity_ * 2, unread + count, size_t{4096}});
    auto grown = std::make_unique_for_overwrite<char[]>(capacity_);
    if (unread > 0) std::memcpy(grown.get(), data_.get() + head_, unread);
    data_ = std::move(grown);
  }
  scanned_ -= std::min(scanned_, head_);
  head_ = 0;
  tail_ = unread;
  return data_.get() + tail_;
}

void TByteQueue::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  std::memcpy(Room(bytes.size()), bytes.data(), bytes.size());
  Commit(bytes.size());
}

int64_t TByteQueue::AppendFrom(TStream& source, int64_t count) {
  const int64_t left = std::min(count, source.Size() - source.Position());
  if (left <= 0) return 0;
  const int64_t got = std::max<int64_t>(source.Read(Room(static_cast<size_t>(left)), left), 0);
  Commit(static_cast<size_t>(got));
  return got;
}

void TByteQueue::Consume(int64_t count) {
  if (count <= 0) return;
  head_ += std::min(static_cast<size_t>(count), tail_ - head_);
  if (scanned_ < head_) scanned_ = head_;
  if (head_ == tail_) Clear();
}

bool TByteQueue::HasLine() const {
  if (scanned_ < head_) scanned_ = head_;
  if (scanned_ < tail_ && std::memchr(data_.get() + scanned_, '\n', tail_ - scanned_)) return true;
  scanned_ = tail_;
  return false;
}

bool TByteQueue::TakeLine(std::string& line) {
  if (scanned_ < head_) scanned_ = head_;
  const void* found = scanned_ < tail_ ? std::memchr(data_.get() + scanned_, '\n', tail_ - scanned_) : nullptr;
  if (!found) {
    scanned_ = tail_;
    return false;
  }
  const size_t end = static_cast<size_t>(static_cast<const char*>(found) - data_.get()) + 1;
  line.assign(data_.get() + head_, end - head_);
  head_ = end;
  scanned_ = end;
  if (head_ == tail_) Clear();
  return true;
}

std::string_view TByteQueue::CompleteLines() const {
  const std::string_view unread = View();
  const size_t last = unread.rfind('\n');
  return last == std::string_view::npos ? std::string_view() : unread.substr(0, last + 1);
}
