#pragma once
// The settings file: an INI file read and written one key at a time. Section and key
// names match without regard to ASCII letter case; values are stored exactly as given;
// every other line of the file (comments, unknown keys and sections) is kept as it was.
#include <string>
#include <string_view>
#include <vector>

class IniFile {
 public:
  // Longest value a read returns, as the classic private-profile buffer of 2048 held.
  static constexpr size_t kMaxValue = 2047;

  // Opens the file by path; a missing file reads as empty.
  explicit IniFile(std::string path);

  // The value of key in section cut to kMaxValue characters, or def when there is none.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  // Replaces the key's value in its section or adds it, creating the section and the file
  // as needed, and writes the file at once (atomically, readable by its owner only).
  // A refused write fails with "Unable to write to %s".
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

  const std::string& Path() const { return path_; }

 private:
  struct Line {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n", "\r" or "" for a last line without one
  };
  // Index of the section's header line, or -1.
  int findSection(std::string_view section) const;
  // Index of the key's line in the section starting after header, or -1.
  int findKey(int header, std::string_view key) const;
  int sectionEnd(int header) const;
  void save() const;

  std::string path_;
  std::string bom_;
  std::vector<Line> lines_;
};
