#pragma once
// Putting the files a session wrote on disk: few syncs for many files, and an early
// start for large ones.
#include <string>
#include <vector>

namespace corvane {
// Puts every file written into folder during a session on disk, folder entries included:
// a few files with one sync each and one for the folder, many with one call for the whole
// file system where the system allows it.
void SyncReceivedFiles(const std::string& folder, const std::vector<std::string>& files);
// Told every file and the folder that SyncReceivedFiles has put on disk, once it has; none
// by default. Process-wide, for checks that need to see what was durable when.
extern void (*ReceivedFileSynced)(const std::string& path);

// Starts writing a large file's bytes to disk while the rest is still coming, a few
// megabytes at a time, so that the sync before the deletions finds little left to do. An
// early start only: nothing is promised before that sync.
class EarlyWriteback {
 public:
  // The file is open at fd (not owned), or opened here to read when fd is -1.
  EarlyWriteback(int fd, const std::string& path);
  ~EarlyWriteback();
  EarlyWriteback(const EarlyWriteback&) = delete;
  EarlyWriteback& operator=(const EarlyWriteback&) = delete;
  // The file now holds size bytes.
  void Grown(long long size);
  // The file was cut back to size bytes.
  void Truncated(long long size);

 private:
  int fd_;
  bool owned_;
  long long started_ = 0;  // writing to disk has begun for the bytes before this offset
};
}  // namespace corvane
