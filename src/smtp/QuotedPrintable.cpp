#include "QuotedPrintable.h"

namespace corvane::smtp {

std::vector<std::string> QuotedPrintableLines(std::string_view line) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Room for the soft break "=" on every line.
  constexpr size_t kRoom = 75;
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    const bool last = i + 1 == line.size();
    // Blanks at a line's end are lost in transport; "From " at a line's start is changed
    // by mailbox files.
    const bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
    const bool mboxFrom = i == 0 && line.substr(0, 5) == "From ";
    std::string token;
    if (literal && !mboxFrom) {
      token = static_cast<char>(c);
    } else {
      token = {'=', kHex[c >> 4], kHex[c & 15]};
    }
    if (current.size() + token.size() > kRoom) {
      lines.push_back(current + "=");
      current.clear();
    }
    current += token;
  }
  lines.push_back(current);
  return lines;
}

}  // namespace corvane::smtp
