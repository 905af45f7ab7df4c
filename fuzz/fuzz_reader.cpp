// The message reader on a line source: any bytes as the lines of a RETR reply, ended by
// the terminating line. It never crashes, never asks for a line past the terminating one,
// and never writes a file anywhere but as a plain file in the attachment folder.
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Exceptions.h"
#include "FuzzSupport.h"
#include "MessageReader.h"
#include "ZnUUE.h"

namespace {

// Entry names of a folder, "." and ".." left out, with their kinds.
template <typename Visit>
void forEachEntry(const std::string& folder, Visit visit) {
  DIR* dir = ::opendir(folder.c_str());
  FUZZ_CHECK(dir != nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    FUZZ_CHECK(::lstat((folder + name).c_str(), &st) == 0);
    visit(name, st);
  }
  ::closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string root = fuzz::ScratchFolder();
  const std::string folder = root + "att/";
  fuzz::EmptyFolder(root);
  ::mkdir(folder.c_str(), 0700);

  size_t pos = 0;
  bool ended = false;
  const TMessageReader::TLineSource source = [&]() -> std::string {
    FUZZ_CHECK(!ended);
    if (pos >= input.size()) {
      ended = true;
      return ".\r\n";
    }
    size_t end = input.find('\n', pos);
    end = end == std::string_view::npos ? input.size() : end + 1;
    std::string line(input.substr(pos, end - pos));
    pos = end;
    if (line == ".\r\n") ended = true;
    return line;
  };

  TMailMessage message;
  TZnUUProcessor coder;
  TMessageReader reader(message, coder);
  reader.AttachFilePath = folder;
  reader.ReservedFileNames = {"mailin.txt", "mailbook.txt", "corvane.lock"};
  try {
    reader.Read(source);
  } catch (const Exception&) {
    // A refused part (a name the folder cannot take) ends the message with an error.
  }

  forEachEntry(root, [&](const std::string& name, const struct stat& st) {
    FUZZ_CHECK(name == "att");
    FUZZ_CHECK(S_ISDIR(st.st_mode));
  });
  forEachEntry(folder, [&](const std::string& name, const struct stat& st) {
    FUZZ_CHECK(S_ISREG(st.st_mode));
    FUZZ_CHECK(name != "mailin.txt" && name != "mailbook.txt" && name != "corvane.lock");
  });
  for (int i = 0; i < message.Attachments.Count(); ++i)
    FUZZ_CHECK(message.Attachments[i].find('/') == std::string::npos);
  return 0;
}
