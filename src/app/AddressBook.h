#pragma once
// The address book "mailbook.txt": one entry a line, name "=" address, CR LF after each.
#include <string>
#include <string_view>
#include <vector>

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
