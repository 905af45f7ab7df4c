#include "MboxArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "Exceptions.h"
#include "Streams.h"
#include "SysUtils.h"

namespace {

constexpr size_t kBufferBytes = 256 * 1024;

// "From " and any number of '>' before it: such a line gets one more '>' (mboxrd).
bool quotable(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && line[i] == '>') ++i;
  return line.substr(i).starts_with("From ");
}

}  // namespace

MboxArchive::MboxArchive(std::string path) : path_(std::move(path)) {}

MboxArchive::~MboxArchive() {
  writeback_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void MboxArchive::open() {
  if (fd_ >= 0) return;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd_ < 0 && errno == ENOENT) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    created_ = fd_ >= 0;
  }
  if (fd_ < 0) throw EFCreateError("Cannot create file " + path_);
}

void MboxArchive::BeginMessage() {
  open();
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw EFCreateError("Cannot create file " + path_);
  start_ = length_ = static_cast<long long>(st.st_size);
  if (!writeback_) writeback_ = std::make_unique<corvane::EarlyWriteback>(fd_, path_);
  failed_ = false;
  buffer_.clear();
  // The envelope sender is not known to a POP3 client; the date is the arrival here.
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char date[64];
  std::strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &tm);
  buffer_ += "From MAILER-DAEMON ";
  buffer_ += date;
  buffer_ += '\n';
  lastEndedLine_ = true;
}

void MboxArchive::Line(std::string_view line) {
  if (failed_ || fd_ < 0) return;
  if (quotable(line)) buffer_ += '>';
  buffer_ += line;
  lastEndedLine_ = line.ends_with('\n');
  if (buffer_.size() >= kBufferBytes) flush();
}

void MboxArchive::Lines(std::string_view lines) {
  if (failed_ || fd_ < 0 || lines.empty()) return;
  // Runs of lines that need no quoting go out as they are; only a line that starts like a
  // "From " line is looked at closely.
  size_t from = 0;
  for (size_t start = 0; start < lines.size();) {
    const size_t end = lines.find('\n', start);
    const size_t next = end == std::string_view::npos ? lines.size() : end + 1;
    if ((lines[start] == 'F' || lines[start] == '>') && quotable(lines.substr(start, next - start))) {
      writeThrough(lines.substr(from, start - from));
      buffer_ += '>';
      from = start;
    }
    start = next;
  }
  writeThrough(lines.substr(from));
  lastEndedLine_ = lines.ends_with('\n');
}

// Large pieces go to the file without a copy into the buffer.
void MboxArchive::writeThrough(std::string_view bytes) {
  if (buffer_.size() + bytes.size() < kBufferBytes) {
    buffer_ += bytes;
    return;
  }
  flush();
  if (bytes.size() < kBufferBytes) {
    buffer_ += bytes;
    return;
  }
  if (!put(bytes)) {
    failed_ = true;
    AbandonMessage();
    throw EFCreateError("Cannot create file " + path_);
  }
}

bool MboxArchive::put(std::string_view bytes) {
  if (!corvane::WriteAll(fd_, bytes)) return false;
  length_ += static_cast<long long>(bytes.size());
  writeback_->Grown(length_);
  return true;
}

void MboxArchive::flush() {
  if (failed_) return;
  if (!put(buffer_)) {
    failed_ = true;
    buffer_.clear();
    AbandonMessage();
    throw EFCreateError("Cannot create file " + path_);
  }
  buffer_.clear();
}

void MboxArchive::EndMessage() {
  if (fd_ < 0) return;
  if (failed_) throw EFCreateError("Cannot create file " + path_);
  // Messages are kept apart by an empty line before the next "From " line.
  if (!lastEndedLine_) buffer_ += '\n';
  buffer_ += '\n';
  flush();
  start_ = -1;
  end_ = length_;
}

void MboxArchive::AbandonMessage() {
  buffer_.clear();
  if (fd_ < 0 || start_ < 0) return;
  if (::ftruncate(fd_, static_cast<off_t>(start_)) != 0) {
    // Left as it is, the torn message would end up inside the next one: refuse more.
    writeback_.reset();
    ::close(fd_);
    fd_ = -1;
  } else {
    writeback_->Truncated(start_);
  }
  start_ = -1;
}

namespace {

// Where the last message of the file begins: just past the last "\n\nFrom " (0 when the
// file holds one message or none). Read backwards, so only the last message is read.
long long lastMessageStart(int fd, long long size) {
  constexpr long long kChunk = 64 * 1024;
  const std::string_view separator = "\n\nFrom ";
  std::string tail;
  for (long long from = size; from > 0;) {
    const long long at = std::max(0LL, from - kChunk);
    std::string chunk(static_cast<size_t>(from - at), '\0');
    if (::pread(fd, chunk.data(), chunk.size(), at) != static_cast<ssize_t>(chunk.size())) return -1;
    tail = chunk + tail.substr(0, std::min(tail.size(), separator.size()));
    const size_t found = tail.rfind(separator);
    if (found != std::string::npos) return at + static_cast<long long>(found) + 2;
    from = at;
  }
  return 0;
}

}  // namespace

long long MboxArchive::Recover(const std::string& path, long long committed) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    throw EFOpenError("Cannot open file " + path);
  }
  struct stat st {};
  long long size = ::fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  long long keep = size;
  if (committed >= 0 && size > committed) {
    keep = committed;
  } else if (size > 0) {
    // A whole message ends with the empty line that keeps it from the next one.
    char last[2] = {};
    const bool whole = size >= 2 && ::pread(fd, last, 2, size - 2) == 2 && last[0] == '\n' && last[1] == '\n';
    if (!whole) keep = lastMessageStart(fd, size);
  }
  const bool ok = size >= 0 && keep >= 0 && (keep == size || (::ftruncate(fd, keep) == 0 && ::fsync(fd) == 0));
  ::close(fd);
  if (!ok) throw EFOpenError("Cannot open file " + path);
  return keep;
}

void MboxArchive::Sync() {
  if (fd_ < 0) return;
  if (::fsync(fd_) != 0) throw EFCreateError("Cannot create file " + path_);
  if (created_) corvane::SyncFolderOf(path_);
}

std::vector<std::string> MboxArchive::ReadMessages(const std::string& path) {
  const std::string bytes = corvane::ReadFile(path);
  std::vector<std::string> messages;
  std::string* current = nullptr;
  bool afterBlank = true;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    std::string_view line(bytes.data() + start, end - start);
    start = end;
    if (afterBlank && line.starts_with("From ")) {
      // The empty line before a "From " line belongs to the separator, not the message.
      if (current && current->ends_with("\n\n")) current->pop_back();
      messages.emplace_back();
      current = &messages.back();
      afterBlank = false;
      continue;
    }
    afterBlank = line == "\n";
    if (!current) continue;
    if (quotable(line) && line.starts_with('>')) line.remove_prefix(1);
    current->append(line);
  }
  if (current && current->ends_with("\n\n")) current->pop_back();
  return messages;
}
