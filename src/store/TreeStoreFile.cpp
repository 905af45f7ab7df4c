#include "TreeStoreFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "Exceptions.h"
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

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

// The journal line: file inode, length before the append, length after it, and a hash of
// the appended bytes; the closing word shows the line itself was written whole.
std::string TreeStoreFile::JournalLine(ino_t inode, int64_t before, std::string_view appended) {
  return corvane::Format("append %llu %lld %lld %llx end\n", static_cast<unsigned long long>(inode),
                         static_cast<long long>(before), static_cast<long long>(before + std::ssize(appended)),
                         static_cast<unsigned long long>(fnv1a(appended)));
}

std::string TreeStoreFile::BatchJournalLine(ino_t inode, int64_t before, const std::string& token) {
  return corvane::Format("batch %llu %lld%s%s end\n", static_cast<unsigned long long>(inode),
                         static_cast<long long>(before), token.empty() ? "" : " ", token.c_str());
}

void TreeStoreFile::RecoverTornAppend() {
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
  char token[33] = {};
  const int fields = single || !ended ? 0 : std::sscanf(text.c_str(), "batch %llu %lld %32s", &inode, &before, token);
  // A batch whose token another file recorded as committed is kept: it was synced first.
  const bool batch =
      fields >= 2 && (fields < 3 || std::string_view(token) == "end" || !BatchCommitted || !BatchCommitted(token));
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

void TreeStoreFile::Remember(ino_t inode, int64_t size) {
  inode_ = inode;
  size_ = size;
  seen_ = corvane::StampOf(path_);
}

void TreeStoreFile::RememberMissing() {
  inode_ = 0;
  size_ = 0;
  seen_ = corvane::StampOf(path_);
}

void TreeStoreFile::Replaced(ino_t inode, int64_t size, int64_t batchStart) {
  // A journal left by an append whose undo failed names the replaced file; it is stale now.
  // So is a batch journal: the new file holds the batch so far, synced. Its records are
  // journaled again where the new file has them, so that the batch commits or goes whole.
  ::unlink(JournalPath().c_str());
  batchJournaled_ = false;
  Remember(inode, size);
  if (batch_ && batchStart >= 0 && batchStart < size) {
    journalBatch(inode, batchStart);
    batchSynced_ = true;
  }
}

bool TreeStoreFile::ChangedBehindUs() const {
  return corvane::StampOf(path_) != seen_;
}

void TreeStoreFile::Append(std::string_view bytes) {
  if (batch_)
    appendUnsynced(bytes);
  else
    appendSynced(bytes);
  size_ += static_cast<int64_t>(bytes.size());
  seen_ = corvane::StampOf(path_);
}

bool TreeStoreFile::BeginBatch() {
  // A batch whose commit failed is still journaled: the new one goes on with it, so that
  // its records commit with the new ones or are undone with them.
  if (batch_ && batchJournaled_) return true;
  batch_ = true;
  batchJournaled_ = batchSynced_ = false;
  token_.clear();
  if (!BatchCommitted) return false;
  std::random_device random;
  token_ = corvane::Format("%08x%08x", random(), random());
  return false;
}

std::string TreeStoreFile::PrepareBatch() {
  if (!batch_ || !batchJournaled_) return {};
  if (!batchSynced_) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    // Should the data not reach the disk, the journal stays and the next load undoes the batch.
    if (!ok) throw EFCreateError("Cannot create file " + path_);
    batchSynced_ = true;
  }
  return token_;
}

void TreeStoreFile::CommitBatch() {
  if (!batch_) return;
  PrepareBatch();
  batch_ = false;
  if (!batchJournaled_) return;
  batchJournaled_ = false;
  ::unlink(JournalPath().c_str());
  corvane::SyncFolderOf(path_);
}

void TreeStoreFile::journalBatch(ino_t inode, int64_t before) {
  const std::string journal = JournalPath();
  const int jfd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, corvane::kPrivateFileMode);
  if (jfd < 0) throw EFCreateError("Cannot create file " + path_);
  const bool ok = corvane::WriteAll(jfd, BatchJournalLine(inode, before, token_)) && ::fsync(jfd) == 0;
  ::close(jfd);
  if (!ok) {
    ::unlink(journal.c_str());
    throw EFCreateError("Cannot create file " + path_);
  }
  corvane::SyncFolderOf(journal);
  batchJournaled_ = true;
}

void TreeStoreFile::appendUnsynced(std::string_view bytes) {
  if (!batchJournaled_) journalBatch(inode_, size_);
  batchSynced_ = false;
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) throw EFCreateError("Cannot create file " + path_);
  if (!corvane::WriteAll(fd, bytes)) {
    // Cut back to the records before this one; the journal still covers the batch.
    [[maybe_unused]] const int cut = ::ftruncate(fd, static_cast<off_t>(size_));
    ::close(fd);
    throw EFCreateError("Cannot create file " + path_);
  }
  ::close(fd);
}

void TreeStoreFile::appendSynced(std::string_view bytes) {
  const std::string journal = JournalPath();
  const auto fail = [&]() { throw EFCreateError("Cannot create file " + path_); };
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
}

std::string TreeStoreFile::PreserveDamaged() const {
  const std::string bytes = corvane::ReadFile(path_);
  const auto keptName = [&](int n) { return path_ + ".damaged" + (n == 0 ? "" : "." + std::to_string(n)); };
  int n = 0;
  while (n < 100000 && corvane::FileExists(keptName(n))) ++n;
  // The same damage found again at the next start is already kept: no second copy.
  if (n == 0 || corvane::ReadFile(keptName(n - 1)) != bytes) corvane::WriteFileAtomically(keptName(n++), bytes);
  return keptName(n - 1);
}
