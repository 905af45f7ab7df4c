#include "FileSync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Exceptions.h"
#include "SysUtils.h"

namespace corvane {

namespace {
// Up to this many files of a session are synced one by one.
constexpr size_t kFewFiles = 64;
// Writing to disk is started for every this many new bytes of a file.
constexpr long long kWritebackBytes = 8 << 20;
}  // namespace

void (*ReceivedFileSynced)(const std::string& path) = nullptr;

namespace {

void reportSynced(const std::string& path) {
  if (ReceivedFileSynced) ReceivedFileSynced(path);
}

}  // namespace

void SyncReceivedFiles(const std::string& folder, const std::vector<std::string>& files) {
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // Many files take one call for all of them, whatever their number. A few are synced one
  // by one: syncfs also waits for whatever else any program has written to the file
  // system meanwhile, which on a busy machine costs more than the session's own files.
  if (files.size() > kFewFiles && dir >= 0 && ::syncfs(dir) == 0) {
    ::close(dir);
    for (const std::string& file : files) reportSynced(file);
    reportSynced(folder);
    return;
  }
  for (const std::string& file : files) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (ok) reportSynced(file);
    if (!ok && corvane::FileExists(file)) {
      if (dir >= 0) ::close(dir);
      throw EFCreateError("Cannot create file " + file);
    }
  }
  if (dir >= 0) {
    if (::fsync(dir) == 0) reportSynced(folder);
    ::close(dir);
  }
}

EarlyWriteback::EarlyWriteback(int fd, const std::string& path)
    : fd_(fd >= 0 ? fd : ::open(path.c_str(), O_RDONLY | O_CLOEXEC)), owned_(fd < 0) {}

EarlyWriteback::~EarlyWriteback() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

void EarlyWriteback::Grown(long long size) {
  if (fd_ < 0 || size - started_ < kWritebackBytes) return;
  // Asks for the writes and returns; a failure here shows at the sync.
  ::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(size - started_), SYNC_FILE_RANGE_WRITE);
  started_ = size;
}

void EarlyWriteback::Truncated(long long size) {
  started_ = std::min(started_, size);
}

}  // namespace corvane
