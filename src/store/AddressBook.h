#pragma once
// The address book "mailbook.txt": one entry a line, name "=" address, CR LF after each.
#include <string>
#include <string_view>
#include <vector>

#include "SysUtils.h"

namespace AddressBook {

// The text before the first "=", and everything after it; both empty without "=".
std::string NameOf(std::string_view entry);
std::string AddressOf(std::string_view entry);
// The address of the first entry whose name equals name, ignoring letter case; empty when none.
std::string Lookup(const std::vector<std::string>& entries, std::string_view name);
// An entry as it can be kept on one line: line breaks become blanks.
std::string Entry(std::string_view text);

std::vector<std::string> Load(const std::string& path);
// Replaces the file atomically; "Cannot create file %s" on failure.
void Save(const std::string& path, const std::vector<std::string>& entries);

}  // namespace AddressBook

// The book file as one window knows it. Before a save replaces the file it looks whether
// someone else changed it since this window last read or wrote it, and if so merges:
// entries either side added are kept (this side's on top), entries either side deleted
// stay deleted.
class AddressBookFile {
 public:
  explicit AddressBookFile(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }

  // The entries of the file; empty when there is none.
  std::vector<std::string> Load();
  // Writes entries, merged with a change behind the window's back; returns what was written.
  std::vector<std::string> Save(const std::vector<std::string>& entries);

 private:
  std::string path_;
  corvane::FileStamp seen_;  // the file as last read or written here
  std::vector<std::string> base_;
};
