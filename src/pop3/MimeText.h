#pragma once
// The display layer of received mail: turns header values, coded text and HTML into UTF-8
// with well-kept converters (iconv for charsets, Qt's document for HTML). Nothing here
// ever drops a byte: text in an unknown or wrong charset is shown as Windows-1252 where it
// is not valid in the charset it claims.
#include <string>
#include <string_view>

#include "Base64Stream.h"

namespace mime {

bool IsValidUtf8(std::string_view bytes);

// The bytes as UTF-8, read in the given charset (MIME name, any case; empty means unknown).
std::string ToUtf8(std::string_view bytes, std::string_view charset);

// A header value with its RFC 2047 encoded words decoded; the rest made valid UTF-8.
std::string DecodeEncodedWords(std::string_view value);

// Quoted-printable, for a whole text (line ends in the result are those of the input's
// hard breaks) and for one line without its line end (soft is set for a trailing "=").
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

// The text of an HTML document without its markup, lines separated by LF.
std::string HtmlToText(std::string_view utf8Html);

// The charset an HTML document names in a meta element, or empty.
std::string HtmlMetaCharset(std::string_view html);

// Base64 as one stream across line ends: characters outside the alphabet are skipped, a
// pad ends the data (as RFC 2045 has it; what follows is ignored).
using Base64Decoder = TBase64Stream;

std::string DecodeBase64(std::string_view text);

}  // namespace mime
