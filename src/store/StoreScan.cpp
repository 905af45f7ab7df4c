#include "StoreScan.h"

#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>

#include "Exceptions.h"
#include "SysUtils.h"

namespace {

constexpr std::string_view kTabs = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";

bool isDateLine(std::string_view text) {
  return text.size() >= 5 && corvane::SameTextAscii(text.substr(0, 5), "Date:");
}

}  // namespace

StoreScan::StoreScan(StoreIndex& index, const RowLabels& labels, int64_t offset)
    : index_(index),
      labels_(labels),
      lines_(offset),
      hash_(XXH3_createState(), [](XXH3_state_s* s) { XXH3_freeState(s); }) {
  if (!hash_) throw std::bad_alloc();
  index_.size = offset;
}

StoreScan::~StoreScan() = default;

void StoreScan::AfterRoot() {
  part_ = Part::Records;
  lastLevel_ = 0;
}

void StoreScan::Feed(std::string_view bytes) {
  chunk_ = bytes;
  lines_.Feed(bytes, [this](int64_t offset, std::string_view raw, size_t end) { line(offset, raw, end); });
  flushRun();
  chunk_ = {};
}

void StoreScan::Finish() {
  lines_.Finish([this](int64_t offset, std::string_view raw, size_t endLength) { line(offset, raw, endLength); });
  const int64_t end = index_.size;
  if (part_ == Part::Records) endRecords(end);
  if (part_ != Part::Stopped) index_.validEnd = end;
}

void StoreScan::line(int64_t offset, std::string_view raw, size_t endLength) {
  index_.size = offset + static_cast<int64_t>(raw.size() + endLength);
  if (part_ == Part::Stopped) return;
  size_t indent = 0;
  while (indent < raw.size() && (raw[indent] == '\t' || raw[indent] == ' ')) ++indent;
  const int level = static_cast<int>(indent);
  const std::string_view text = raw.substr(indent);
  const bool canonical = endLength == 2 && raw.substr(0, indent).find(' ') == std::string_view::npos;
  if (part_ == Part::Root) {
    // The first line is the root whatever its indent.
    index_.canonical = index_.canonical && canonical && level == 0;
    index_.rootEnd = index_.size;
    part_ = Part::Records;
    lastLevel_ = 0;
    return;
  }
  if (level > lastLevel_ + 1) {
    index_.damage = corvane::Format("Invalid level (%d) for item \"%s\"", level, std::string(text).c_str());
    if (part_ == Part::Records) endRecords(offset);
    index_.validEnd = offset;
    part_ = Part::Stopped;
    return;
  }
  index_.canonical = index_.canonical && canonical;
  lastLevel_ = level;
  if (level == 0) {
    if (part_ == Part::Records) endRecords(offset);
    return;
  }
  if (part_ != Part::Records) return;
  if (level == 1) {
    closeRecord(offset);
    openRecord(offset);
  } else {
    recordLine(level, text);
  }
  hashLine(level, raw, text, canonical);
}

void StoreScan::recordLine(int level, std::string_view text) {
  if (level == 2) {
    ++labelCount_;
    valueCount_ = 0;
    return;
  }
  if (level != 3) return;
  const int label = labelCount_ - 1;
  if (valueCount_++ == 0) {
    if (label < 32) valued_ |= uint32_t{1} << label;
    if (label == labels_.from) {
      hasFrom_ = true;
      from_ = CutListText(text, StoreIndex::kTextBytes);
    }
    if (label == labels_.subject) {
      hasSubject_ = true;
      subject_ = CutListText(text, StoreIndex::kTextBytes);
    }
  }
  if (label == labels_.header && !hasDate_ && isDateLine(text)) {
    hasDate_ = true;
    date_ = corvane::Trim(CutListText(text.substr(5), StoreIndex::kTextBytes));
  }
}

// The hash is of the line as the store writes it: TABs for its level, its text, CR LF. Lines
// already in that form that follow each other in the bytes fed are hashed in one run.
void StoreScan::hashLine(int level, std::string_view raw, std::string_view text, bool canonical) {
  const char* end = raw.data() + raw.size() + 2;
  if (canonical && raw.data() >= chunk_.data() && end <= chunk_.data() + chunk_.size()) {
    if (raw.data() != runEnd_) {
      flushRun();
      runStart_ = raw.data();
    }
    runEnd_ = end;
    return;
  }
  flushRun();
  XXH3_state_s* state = hash_.get();
  for (int left = level; left > 0; left -= static_cast<int>(kTabs.size()))
    XXH3_64bits_update(state, kTabs.data(), std::min<size_t>(static_cast<size_t>(left), kTabs.size()));
  XXH3_64bits_update(state, text.data(), text.size());
  XXH3_64bits_update(state, "\r\n", 2);
}

void StoreScan::flushRun() {
  if (runStart_ != runEnd_) XXH3_64bits_update(hash_.get(), runStart_, static_cast<size_t>(runEnd_ - runStart_));
  runStart_ = runEnd_ = nullptr;
}

void StoreScan::openRecord(int64_t offset) {
  inRecord_ = true;
  record_ = {};
  record_.start = offset;
  labelCount_ = valueCount_ = 0;
  hasFrom_ = hasSubject_ = hasDate_ = false;
  valued_ = 0;
  XXH3_64bits_reset(hash_.get());
}

void StoreScan::closeRecord(int64_t end) {
  if (!inRecord_) return;
  inRecord_ = false;
  flushRun();
  record_.length = end - record_.start;
  record_.hash = XXH3_64bits_digest(hash_.get());
  // The first node the row lacks, in the order the row reads them.
  int failure = -1;
  if (labelCount_ <= labels_.from)
    failure = labels_.from;
  else if (!hasFrom_)
    failure = 0;
  else if (labelCount_ <= labels_.subject)
    failure = labels_.subject;
  else if (labels_.subjectRequired && !hasSubject_)
    failure = 0;
  for (int label = 0; label < 32 && failure < 0; ++label) {
    if ((labels_.valuesRequired >> label & 1) == 0) continue;
    if (labelCount_ <= label)
      failure = label;
    else if ((valued_ >> label & 1) == 0)
      failure = 0;
  }
  record_.failure = static_cast<int16_t>(failure);
  index_.Add(record_, hasFrom_ ? std::string_view(from_) : std::string_view(),
             hasSubject_ ? std::string_view(subject_) : std::string_view(),
             hasDate_ ? std::string_view(date_) : std::string_view());
}

void StoreScan::endRecords(int64_t offset) {
  closeRecord(offset);
  index_.recordsEnd = offset;
  part_ = Part::After;
}

bool ScanStoreFile(int fd, const std::string& path, StoreIndex& index, const RowLabels& labels, int64_t offset,
                   const std::atomic<bool>* cancel, std::atomic<int64_t>* done) {
  constexpr size_t kChunk = 4 << 20;
  StoreScan scan(index, labels, offset);
  if (offset > 0) scan.AfterRoot();
  ::posix_fadvise(fd, offset, 0, POSIX_FADV_SEQUENTIAL);
  std::string buffer(kChunk, '\0');
  for (int64_t at = offset;;) {
    if (cancel && cancel->load(std::memory_order_relaxed)) return false;
    const ssize_t n = ::pread(fd, buffer.data(), kChunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EFOpenError("Cannot open file " + path);
    if (n == 0) break;
    scan.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
    at += n;
    if (done) done->fetch_add(n, std::memory_order_relaxed);
  }
  scan.Finish();
  return true;
}

void ScanRecord(std::string_view bytes, StoreIndex& index, const RowLabels& labels) {
  StoreScan scan(index, labels);
  scan.AfterRoot();
  scan.Feed(bytes);
  scan.Finish();
}
