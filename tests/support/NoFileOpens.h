#pragma once
// While a NoFileOpens lives, opening any file fails, even for root: the lowest free
// descriptor lies past the process's limit.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

class NoFileOpens {
 public:
  NoFileOpens() {
    ::getrlimit(RLIMIT_NOFILE, &old_);
    const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowest);
    rlimit tight = old_;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ::setrlimit(RLIMIT_NOFILE, &tight);
  }
  ~NoFileOpens() { ::setrlimit(RLIMIT_NOFILE, &old_); }
  NoFileOpens(const NoFileOpens&) = delete;
  NoFileOpens& operator=(const NoFileOpens&) = delete;

  // The sanitizers' own type checks open files; starved of descriptors they report
  // faults that are not there.
  static bool Possible() {
#ifdef __SANITIZE_ADDRESS__
    return false;
#else
    return true;
#endif
  }

 private:
  rlimit old_{};
};
