#pragma once
// Shared pieces of the fuzz targets: a private scratch folder in memory where one exists,
// and a check that stops the run with a message when a property does not hold.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// A folder of its own for this process, made once, ending with "/".
std::string ScratchFolder();
// Removes every entry of folder (not the folder itself), descending into subfolders.
void EmptyFolder(const std::string& folder);

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond)              \
  do {                                \
    if (!(cond)) ::fuzz::Fail(#cond); \
  } while (0)
