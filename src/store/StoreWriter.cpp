#include "StoreWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Exceptions.h"
#include "LineSplitter.h"
#include "Streams.h"

namespace {

constexpr size_t kChunk = 1 << 20;
constexpr int64_t kWriteBehind = 8 << 20;
constexpr std::string_view kTabs = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";

bool canceled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load(std::memory_order_relaxed);
}

// Reads up to length bytes at offset; fewer only at the end of the file.
size_t readAt(int fd, char* into, size_t length, int64_t offset) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, into + got, length - got, offset + static_cast<int64_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return static_cast<size_t>(-1);
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

// Reads a piece of a store file in chunks.
class PieceReader {
 public:
  PieceReader(int source, const std::string& storePath) : source_(source), storePath_(storePath) {}
  // Hands each chunk of [start, start + length) to chunk; false when cancel was set.
  template <typename Chunk>
  bool Read(int64_t start, int64_t length, const std::atomic<bool>* cancel, Chunk&& chunk) {
    buffer_.resize(kChunk);
    for (int64_t at = start, end = start + length; at < end;) {
      if (canceled(cancel)) return false;
      const size_t want = static_cast<size_t>(std::min<int64_t>(end - at, kChunk));
      if (readAt(source_, buffer_.data(), want, at) != want) throw EFOpenError("Cannot open file " + storePath_);
      chunk(std::string_view(buffer_.data(), want));
      at += static_cast<int64_t>(want);
    }
    return true;
  }

 private:
  const int source_;
  const std::string& storePath_;
  std::string buffer_;
};

// Each line of a piece as the store writes it: its level as TABs, its text, CR LF.
bool copyLines(PieceReader& reader, const StorePiece& piece, const std::function<void(std::string_view)>& sink,
               const std::atomic<bool>* cancel) {
  std::string out;
  const auto line = [&](int64_t, std::string_view raw, size_t) {
    size_t indent = 0;
    while (indent < raw.size() && (raw[indent] == '\t' || raw[indent] == ' ')) ++indent;
    for (size_t left = piece.root ? 0 : indent; left > 0;) {
      const size_t tabs = std::min(left, kTabs.size());
      out.append(kTabs.substr(0, tabs));
      left -= tabs;
    }
    out.append(raw.substr(indent)).append("\r\n");
    if (out.size() >= kChunk) {
      sink(out);
      out.clear();
    }
  };
  LineSplitter lines;
  if (!reader.Read(piece.start, piece.length, cancel, [&](std::string_view bytes) { lines.Feed(bytes, line); }))
    return false;
  lines.Finish(line);
  if (!out.empty()) sink(out);
  return true;
}

}  // namespace

bool CopyPieces(int source, bool canonical, const std::vector<StorePiece>& pieces, const std::string& storePath,
                const std::function<void(std::string_view)>& sink, const std::atomic<bool>* cancel) {
  PieceReader reader(source, storePath);
  for (const StorePiece& piece : pieces) {
    if (canceled(cancel)) return false;
    if (piece.start < 0) {
      sink(piece.bytes);
      continue;
    }
    const bool done =
        canonical ? reader.Read(piece.start, piece.length, cancel, sink) : copyLines(reader, piece, sink, cancel);
    if (!done) return false;
  }
  return true;
}

StoreWriter::StoreWriter(std::string storePath) : storePath_(std::move(storePath)), path_(TempPath(storePath_)) {
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, corvane::kPrivateFileMode);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) fail();
  // An umask or a file left from before must not widen who can read the mail.
  if (::fchmod(fd_, corvane::kPrivateFileMode) != 0) fail();
  inode_ = st.st_ino;
}

StoreWriter::~StoreWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
}

void StoreWriter::fail() const {
  throw EFCreateError("Cannot create file " + storePath_);
}

void StoreWriter::writeBytes(std::string_view bytes) {
  if (!corvane::WriteAll(fd_, bytes)) fail();
  size_ += static_cast<int64_t>(bytes.size());
  writeBehind();
}

// A copy of hundreds of megabytes left dirty in the page cache goes to the disk in one
// burst at its sync, and a message stored meanwhile waits behind that burst for its own
// sync. Each window is sent on its way as soon as it is full, and the one before it
// waited for, so only two windows are ever in flight.
void StoreWriter::writeBehind() {
  if (size_ - started_ < kWriteBehind) return;
  ::sync_file_range(fd_, started_, size_ - started_, SYNC_FILE_RANGE_WRITE);
  if (started_ > 0)
    ::sync_file_range(fd_, waited_, started_ - waited_,
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  waited_ = started_;
  started_ = size_;
}

bool StoreWriter::Write(int source, bool canonical, const std::vector<StorePiece>& pieces,
                        const std::atomic<bool>* cancel) {
  return CopyPieces(
      source, canonical, pieces, storePath_, [this](std::string_view bytes) { writeBytes(bytes); }, cancel);
}

void StoreWriter::Sync() {
  if (::fsync(fd_) != 0) fail();
}

void StoreWriter::Replace() {
  if (::rename(path_.c_str(), storePath_.c_str()) != 0) fail();
  path_.clear();
  corvane::SyncFolderOf(storePath_);
}

int StoreWriter::ReleaseFd() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}
