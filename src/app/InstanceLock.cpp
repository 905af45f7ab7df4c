#include "InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "Streams.h"

InstanceLock::InstanceLock(const std::string& folder) : path_(folder + FileName) {
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, corvane::kPrivateFileMode);
  // A folder we may not write still has a lock file that an earlier run left.
  if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd_ < 0) return;
  // flock, not fcntl: its lock belongs to the open file, so two windows in one process
  // exclude each other as two processes do.
  int rc;
  do rc = ::flock(fd_, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    state_ = State::Held;
    // For the user's information only: which process has the folder.
    const std::string pid = std::to_string(::getpid()) + "\n";
    [[maybe_unused]] const bool noted =
        ::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    return;
  }
  if (errno == EWOULDBLOCK) {
    state_ = State::Busy;
    char text[32] = {};
    if (::pread(fd_, text, sizeof text - 1, 0) > 0) holder_ = std::strtol(text, nullptr, 10);
  }
  ::close(fd_);
  fd_ = -1;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}
