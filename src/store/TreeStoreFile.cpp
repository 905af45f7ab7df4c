#include "TreeStoreFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Streams.h"

namespace {

struct FileId {
  ino_t inode = 0;
  int64_t size = -1;  // -1: no such file
};

FileId statFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {st.st_ino, static_cast<int64_t>(st.st_size)};
}

// Records are told apart in a merge by this hash of their bytes, taken piece by piece as
// SerializeNode makes them. It never reaches a file, so it can be the library's fast one.
uint64_t hashPiece(uint64_t hash, std::string_view piece) {
  return (hash ^ std::hash<std::string_view>{}(piece)) * 1099511628211ull + piece.size();
}

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

void TreeStoreFile::rememberFile() {
  const FileId id = statFile(path_);
  inSync_ = id.size >= 0;
  inode_ = id.inode;
  size_ = id.size;
}

bool TreeStoreFile::fileUnchanged() const {
  const FileId id = statFile(path_);
  return inSync_ && id.size == size_ && id.inode == inode_;
}

// The journal line: file inode, length before the append, length after it, and a hash of
// the appended bytes; the closing word shows the line itself was written whole.
std::string TreeStoreFile::JournalLine(ino_t inode, int64_t before, std::string_view appended) {
  return corvane::Format("append %llu %lld %lld %llx end\n", static_cast<unsigned long long>(inode),
                         static_cast<long long>(before), static_cast<long long>(before + std::ssize(appended)),
                         static_cast<unsigned long long>(fnv1a(appended)));
}

std::string TreeStoreFile::BatchJournalLine(ino_t inode, int64_t before) {
  return corvane::Format("batch %llu %lld end\n", static_cast<unsigned long long>(inode),
                         static_cast<long long>(before));
}

void TreeStoreFile::recoverTornAppend() {
  const std::string journal = JournalPath();
  if (!corvane::FileExists(journal)) return;
  const std::string text = corvane::ReadFile(journal);
  unsigned long long inode = 0, hash = 0;
  long long before = -1, after = -1;
  const bool ended = text.size() > 5 && text.compare(text.size() - 5, 5, " end\n") == 0;
  const bool single =
      ended && std::sscanf(text.c_str(), "append %llu %lld %lld %llx", &inode, &before, &after, &hash) == 4;
  // A batch that was not committed is undone whole: its messages were never deleted on the
  // server, so the next session brings them again.
  const bool batch = !single && ended && std::sscanf(text.c_str(), "batch %llu %lld", &inode, &before) == 2;
  // A journal torn while being written was never followed by an append: nothing to undo.
  const FileId id = statFile(path_);
  if ((single || batch) && before >= 0 && static_cast<unsigned long long>(id.inode) == inode && id.size > before) {
    const bool complete =
        single && id.size == after && fnv1a(corvane::ReadFile(path_).substr(static_cast<size_t>(before))) == hash;
    if (!complete) {
      const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) throw EFOpenError("Cannot open file " + path_);
      const bool ok = ::ftruncate(fd, static_cast<off_t>(before)) == 0 && ::fsync(fd) == 0;
      ::close(fd);
      if (!ok) throw EFOpenError("Cannot open file " + path_);
    }
  }
  ::unlink(journal.c_str());
}

bool TreeStoreFile::Load(TextTree& tree) {
  inSync_ = false;
  // Until the file has been read, a write could replace messages nobody has seen.
  blocked_ = true;
  recoverTornAppend();
  seen_ = corvane::StampOf(path_);
  if (!corvane::FileExists(path_)) {
    blocked_ = false;
    return false;
  }
  const std::string bytes = corvane::ReadFile(path_);
  blocked_ = false;
  // Only a file that is exactly what the tree writes may be appended to.
  if (tree.Parse(bytes)) rememberFile();
  return true;
}

void TreeStoreFile::Rewrite(const TextTree& tree) {
  if (blocked_) throw EFCreateError("Cannot create file " + path_);
  inSync_ = false;
  // Made and written in pieces: a store can hold messages far larger than is worth holding twice.
  corvane::WriteFileAtomically(path_, [&](const std::function<void(std::string_view)>& write) {
    for (int t = 0; t < tree.TopCount(); ++t) TextTree::SerializeNode(tree.TopNode(t), write);
  });
  // A journal left by an append whose undo failed names the replaced file; it is stale now.
  // So is a batch journal: the new file holds the batch so far, synced.
  ::unlink(JournalPath().c_str());
  batchJournaled_ = false;
  rememberFile();
  seen_ = corvane::StampOf(path_);
}

bool TreeStoreFile::ChangedBehindUs() const {
  return corvane::StampOf(path_) != seen_;
}

void TreeStoreFile::ReadCurrent(TextTree& tree) const {
  tree.Parse(corvane::ReadFile(path_));
}

uint64_t TreeStoreFile::Append(const TextTree& tree, const TextTree::Node& node) {
  if (blocked_ || !fileUnchanged()) {
    Rewrite(tree);
    return RecordHash(node);
  }
  if (batch_) return appendUnsynced(node);
  std::string bytes;
  TextTree::SerializeNode(node, bytes);
  appendBytes(bytes);
  return RecordHash(node);
}

uint64_t TreeStoreFile::RecordHash(const TextTree::Node& node) {
  uint64_t hash = 0;
  TextTree::SerializeNode(node, [&](std::string_view piece) { hash = hashPiece(hash, piece); });
  return hash;
}

void TreeStoreFile::BeginBatch() {
  batch_ = true;
  batchJournaled_ = false;
}

void TreeStoreFile::CommitBatch() {
  if (!batch_) return;
  batch_ = false;
  if (!batchJournaled_) return;
  batchJournaled_ = false;
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok) {
    // The journal stays: should the data not reach the disk, the next load undoes the batch.
    inSync_ = false;
    throw EFCreateError("Cannot create file " + path_);
  }
  ::unlink(JournalPath().c_str());
  corvane::SyncFolderOf(path_);
}

uint64_t TreeStoreFile::appendUnsynced(const TextTree::Node& node) {
  const auto fail = [&]() {
    inSync_ = false;
    throw EFCreateError("Cannot create file " + path_);
  };
  if (!batchJournaled_) {
    const std::string journal = JournalPath();
    const int jfd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, corvane::kPrivateFileMode);
    if (jfd < 0) fail();
    const bool ok = corvane::WriteAll(jfd, BatchJournalLine(inode_, size_)) && ::fsync(jfd) == 0;
    ::close(jfd);
    if (!ok) {
      ::unlink(journal.c_str());
      fail();
    }
    corvane::SyncFolderOf(journal);
    batchJournaled_ = true;
  }
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) fail();
  // Written in pieces as they are made: a record can be far larger than is worth holding twice.
  uint64_t hash = 0;
  int64_t written = 0;
  bool ok = true;
  TextTree::SerializeNode(node, [&](std::string_view piece) {
    if (!ok) return;
    hash = hashPiece(hash, piece);
    ok = corvane::WriteAll(fd, piece);
    written += static_cast<int64_t>(piece.size());
  });
  if (!ok) {
    // Cut back to the records before this one; the journal still covers the batch.
    if (::ftruncate(fd, static_cast<off_t>(size_)) != 0) {
      ::close(fd);
      fail();
    }
    ::close(fd);
    fail();
  }
  ::close(fd);
  size_ += written;
  seen_ = corvane::StampOf(path_);
  return hash;
}

void TreeStoreFile::appendBytes(std::string_view bytes) {
  const std::string journal = JournalPath();
  const auto fail = [&]() {
    inSync_ = false;
    throw EFCreateError("Cannot create file " + path_);
  };
  {
    const int jfd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, corvane::kPrivateFileMode);
    if (jfd < 0) fail();
    const std::string record = JournalLine(inode_, size_, bytes);
    const bool ok = corvane::WriteAll(jfd, record) && ::fsync(jfd) == 0;
    ::close(jfd);
    if (!ok) {
      ::unlink(journal.c_str());
      fail();
    }
    corvane::SyncFolderOf(journal);
  }
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    ::unlink(journal.c_str());
    fail();
  }
  if (!corvane::WriteAll(fd, bytes) || ::fsync(fd) != 0) {
    // Undo at once; if even that fails the journal stays and the next load undoes it.
    const bool undone = ::ftruncate(fd, static_cast<off_t>(size_)) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    if (undone) ::unlink(journal.c_str());
    fail();
  }
  ::close(fd);
  ::unlink(journal.c_str());
  size_ += static_cast<int64_t>(bytes.size());
  seen_ = corvane::StampOf(path_);
}

std::string TreeStoreFile::PreserveDamaged() {
  inSync_ = false;
  blocked_ = true;  // until the copy is safe
  const std::string bytes = corvane::ReadFile(path_);
  const auto keptName = [&](int n) { return path_ + ".damaged" + (n == 0 ? "" : "." + std::to_string(n)); };
  int n = 0;
  while (n < 100000 && corvane::FileExists(keptName(n))) ++n;
  // The same damage found again at the next start is already kept: no second copy.
  if (n == 0 || corvane::ReadFile(keptName(n - 1)) != bytes) corvane::WriteFileAtomically(keptName(n++), bytes);
  blocked_ = false;
  return keptName(n - 1);
}
