#pragma once
// Small string helpers shared by every unit.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A decimal 32-bit integer, optionally negative, with nothing around it; anything else
// raises EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(std::string_view text);
std::string IntToStr(int64_t value);

// Blanks and control characters (code <= 32) removed from the ends.
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);

// ASCII case folding; locale-aware comparison lives with the string list.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b);

// A line as received without its line end: one CR LF, or one LF.
std::string_view WithoutLineEnd(std::string_view line);
// That line end itself: "\r\n", "\n" or empty.
std::string_view LineEndOf(std::string_view line);
// A reply line without every CR and LF at its end: a stray CR before the line end is
// never part of what a server meant.
std::string_view WithoutLineBreaks(std::string_view line);

// Folder part of a path including its trailing separator, file-name part, extension change.
std::string ExtractFilePath(std::string_view path);
std::string ExtractFileName(std::string_view path);
std::string ChangeFileExt(std::string_view path, std::string_view ext);
bool FileExists(const std::string& path);

// What tells one state of a file from another without reading it: a change made behind a
// program's back moves at least one of these (a rename gives a new inode, a write moves
// the change time, which no one can set back).
struct FileStamp {
  bool exists = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modified = 0;  // nanoseconds
  int64_t changed = 0;   // nanoseconds
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);

// The permission bits a new file of the user's gets: 0666 less the process umask.
unsigned UserFileMode();

}  // namespace corvane
