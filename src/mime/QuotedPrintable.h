#pragma once
// Quoted-printable (RFC 2045) both ways: the received text of a part decoded, whole, a line
// at a time or as it comes in pieces; the text part of an outgoing message encoded.
#include <string>
#include <string_view>
#include <vector>

namespace mime {

// The value of a hexadecimal digit of either case, or -1.
int HexDigitValue(char c);

// A whole text (line ends in the result are those of the input's hard breaks), and one
// line without its line end (soft is set for a trailing "=").
std::string DecodeQuotedPrintable(std::string_view text);
std::string DecodeQuotedPrintableLine(std::string_view line, bool& soft);

// The same for a text that comes in pieces of any size: a line is decoded when its line
// feed arrives, the last one at Finish. The pieces give what the whole text would.
class QuotedPrintableDecoder {
 public:
  void Feed(std::string_view text, std::string& out);
  void Finish(std::string& out);

 private:
  static void segment(std::string_view line, bool last, std::string& out);
  std::string partial_;  // a line still waiting for its line feed
};

// One text line, without its line end, as quoted-printable lines of at most 76
// characters; every line but the last ends with the soft break "=".
std::vector<std::string> QuotedPrintableLines(std::string_view line);

}  // namespace mime
