#include "IniFile.h"

#include "Exceptions.h"
#include "Streams.h"
#include "SysUtils.h"

namespace {

constexpr unsigned kOwnerOnly = 0600;  // the file holds the receive password

bool isSectionHeader(std::string_view text, std::string* name = nullptr) {
  const std::string trimmed = corvane::Trim(text);
  if (trimmed.empty() || trimmed.front() != '[') return false;
  const size_t close = trimmed.find(']');
  if (close == std::string::npos) return false;
  if (name) *name = corvane::Trim(std::string_view(trimmed).substr(1, close - 1));
  return true;
}

bool isComment(std::string_view text) {
  const std::string trimmed = corvane::TrimLeft(text);
  return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

// A key line's name (blanks around it ignored) and the offset of its value.
bool splitKeyLine(std::string_view text, std::string& key, size_t& valueStart) {
  if (isComment(text)) return false;
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) return false;
  key = corvane::Trim(text.substr(0, eq));
  valueStart = eq + 1;
  return true;
}

// One line of the file holds one value: it ends at the first line break or NUL.
std::string_view oneLine(std::string_view value) {
  const size_t stop = value.find_first_of(std::string_view("\r\n\0", 3));
  return value.substr(0, stop);
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {
  if (!corvane::FileExists(path_)) return;
  const std::string bytes = corvane::ReadFile(path_);
  // A byte order mark from a text editor stays in the file but must not hide the first section.
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  size_t start = 0;
  if (std::string_view(bytes).substr(0, kBom.size()) == kBom) {
    bom_ = kBom;
    start = kBom.size();
  }
  while (start < bytes.size()) {
    const size_t stop = bytes.find_first_of("\r\n", start);
    Line line;
    if (stop == std::string::npos) {
      line.text = bytes.substr(start);
      start = bytes.size();
    } else {
      line.text = bytes.substr(start, stop - start);
      const bool crlf = bytes[stop] == '\r' && stop + 1 < bytes.size() && bytes[stop + 1] == '\n';
      line.end = crlf ? "\r\n" : bytes.substr(stop, 1);
      start = stop + line.end.size();
    }
    lines_.push_back(std::move(line));
  }
}

int IniFile::findSection(std::string_view section) const {
  std::string name;
  for (size_t i = 0; i < lines_.size(); ++i)
    if (isSectionHeader(lines_[i].text, &name) && corvane::SameTextAscii(name, section)) return static_cast<int>(i);
  return -1;
}

int IniFile::sectionEnd(int header) const {
  size_t i = static_cast<size_t>(header) + 1;
  while (i < lines_.size() && !isSectionHeader(lines_[i].text)) ++i;
  return static_cast<int>(i);
}

int IniFile::findKey(int header, std::string_view key) const {
  const int end = sectionEnd(header);
  std::string name;
  size_t valueStart = 0;
  for (int i = header + 1; i < end; ++i)
    if (splitKeyLine(lines_[i].text, name, valueStart) && corvane::SameTextAscii(name, key)) return i;
  return -1;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  const int header = findSection(section);
  const int line = header < 0 ? -1 : findKey(header, key);
  if (line < 0) return std::string(def);
  std::string name;
  size_t valueStart = 0;
  splitKeyLine(lines_[line].text, name, valueStart);
  return lines_[line].text.substr(valueStart, kMaxValue);
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string text = std::string(key) + "=" + std::string(oneLine(value));
  int header = findSection(section);
  if (header < 0) {
    if (!lines_.empty()) {
      if (lines_.back().end.empty()) lines_.back().end = "\r\n";
      if (!corvane::Trim(lines_.back().text).empty()) lines_.push_back({"", "\r\n"});
    }
    lines_.push_back({"[" + std::string(section) + "]", "\r\n"});
    header = static_cast<int>(lines_.size()) - 1;
  }
  const int existing = findKey(header, key);
  if (existing >= 0) {
    lines_[existing].text = text;
  } else {
    // A new key goes after the section's last non-blank line, before the gap to the next.
    int at = sectionEnd(header);
    while (at > header + 1 && corvane::Trim(lines_[at - 1].text).empty()) --at;
    if (lines_[at - 1].end.empty()) lines_[at - 1].end = "\r\n";
    lines_.insert(lines_.begin() + at, Line{text, "\r\n"});
  }
  save();
}

void IniFile::save() const {
  std::string bytes = bom_;
  for (const Line& line : lines_) bytes += line.text + line.end;
  try {
    corvane::WriteFileAtomically(path_, bytes, kOwnerOnly);
  } catch (const EFileError&) {
    throw EFCreateError(corvane::Format("Unable to write to %s", path_.c_str()));
  }
}
