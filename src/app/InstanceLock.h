#pragma once
// One running program per application folder. Two programs on the same stores would each
// rewrite them from their own copy and lose the other's messages, so start-up takes a
// lock on a file beside the program and holds it for the whole run. The lock is the
// system's (flock): it goes when the process ends in any way, so a crashed run never
// keeps the next one out, and the file itself may stay.
#include <string>

class InstanceLock {
 public:
  // The lock file's name in the application folder; received files may never take it.
  static constexpr const char* FileName = "corvane.lock";

  enum class State {
    Held,        // this program has the folder
    Busy,        // another running program has it
    Unavailable  // no lock could be taken (a folder we cannot write, a file system without locks)
  };

  // Tries once, without waiting.
  explicit InstanceLock(const std::string& folder);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  State state() const { return state_; }
  const std::string& Path() const { return path_; }
  // The process id the holder wrote into the file, or 0 when unknown.
  long HolderPid() const { return holder_; }

 private:
  std::string path_;
  int fd_ = -1;
  State state_ = State::Unavailable;
  long holder_ = 0;
};
