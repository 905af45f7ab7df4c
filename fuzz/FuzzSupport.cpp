#include "FuzzSupport.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace fuzz {

namespace {

std::string& scratch() {
  static std::string folder;
  return folder;
}

// A run that ends normally leaves nothing behind; one that crashes keeps its files to look at.
void removeScratch() {
  EmptyFolder(scratch());
  ::rmdir(scratch().c_str());
}

}  // namespace

std::string ScratchFolder() {
  if (scratch().empty()) {
    // tmpfs keeps the syncs of the atomic writes from costing a disk flush per input.
    struct stat st {};
    const std::string base = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/corvane-fuzz-XXXXXX";
    if (!::mkdtemp(tmpl.data())) std::abort();
    scratch() = tmpl + "/";
    std::atexit(removeScratch);
  }
  return scratch();
}

void EmptyFolder(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      EmptyFolder(path + "/");
      ::rmdir(path.c_str());
    } else {
      ::unlink(path.c_str());
    }
  }
  ::closedir(dir);
}

}  // namespace fuzz
