#include "QuotedPrintable.h"

namespace mime {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string DecodeQuotedPrintableLine(std::string_view line, bool& soft) {
  // Blanks at a line end were added in transport (RFC 2045).
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  soft = false;
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '=') {
      out += line[i];
      continue;
    }
    if (i + 1 == line.size()) {
      soft = true;
      break;
    }
    if (i + 2 < line.size() && HexDigitValue(line[i + 1]) >= 0 && HexDigitValue(line[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(line[i + 1]) * 16 + HexDigitValue(line[i + 2]));
      i += 2;
      continue;
    }
    out += '=';  // not a valid code: kept as it came
  }
  return out;
}

void QuotedPrintableDecoder::segment(std::string_view line, bool last, std::string& out) {
  std::string_view lineEnd = last ? "" : "\n";
  if (line.ends_with('\r')) {
    line.remove_suffix(1);
    lineEnd = "\r\n";
  }
  bool soft = false;
  out += DecodeQuotedPrintableLine(line, soft);
  if (!soft) out += lineEnd;
}

void QuotedPrintableDecoder::Feed(std::string_view text, std::string& out) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      partial_.append(text);
      return;
    }
    if (partial_.empty()) {
      segment(text.substr(0, end), false, out);
    } else {
      partial_.append(text.substr(0, end));
      segment(partial_, false, out);
      partial_.clear();
    }
    text.remove_prefix(end + 1);
  }
}

void QuotedPrintableDecoder::Finish(std::string& out) {
  if (!partial_.empty()) segment(partial_, true, out);
  partial_.clear();
}

std::string DecodeQuotedPrintable(std::string_view text) {
  QuotedPrintableDecoder decoder;
  std::string out;
  out.reserve(text.size());
  decoder.Feed(text, out);
  decoder.Finish(out);
  return out;
}

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

}  // namespace mime
