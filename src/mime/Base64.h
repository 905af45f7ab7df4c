#pragma once
// Base64 (RFC 2045, RFC 4648): the one codec of the program. Out: a whole buffer, or the
// lines of a coded file. Back: as one stream across line ends (received parts, encoded
// words, logins), or line by line as a coded file is read.
#include <cstddef>
#include <string>
#include <string_view>

#include "SixBitLines.h"

namespace mime {

// The 64 digits in order of their values.
inline constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The bytes in one piece, padded, without line ends.
std::string EncodeBase64(std::string_view bytes);
// Base64 lines, padded at the end, for coded files.
const SixBitLines& Base64Lines();

// Where a pad leaves the data: mail ends it there; a login's text skips it like any other
// character that is no digit and reads on.
enum class Base64Pad { Ends, Skipped };

// A whole text decoded as one stream (see TBase64Stream).
std::string DecodeBase64(std::string_view text, Base64Pad pad = Base64Pad::Ends);

// One line of a base64 file (without its line end), as the file coder reads it: a group
// never spans two lines, characters without a value are stepped over, and a pad ends the
// data, at once when the line begins with it, else after the line. Lines of two characters
// or fewer and lines that begin with "====" hold no data.
enum class Base64LineEnd { Continue, AfterLine, Now };
// out has room for MaxDecodedLine(line.size()) bytes; written is set to the bytes it got.
Base64LineEnd DecodeBase64Line(std::string_view line, char* out, size_t& written);
constexpr size_t MaxDecodedLine(size_t chars) {
  return chars / 4 * 3 + 3;
}

}  // namespace mime

// Base64 as one stream across line ends, decoded a whole span at a time: characters
// outside the alphabet (line ends, blanks, stray bytes) are skipped, a pad ends the data
// and everything after it is ignored. The common case, four alphabet characters in a row,
// costs one table look-up each.
class TBase64Stream {
 public:
  // The most bytes Feed can write for a span of this many characters.
  static constexpr size_t MaxDecoded(size_t chars) { return mime::MaxDecodedLine(chars); }

  // Decodes text into out, which has room for MaxDecoded(text.size()) bytes; returns how
  // many it wrote. Nothing once the data has ended.
  size_t Feed(std::string_view text, char* out);
  // The same, appended to out.
  void Feed(std::string_view text, std::string& out);
  // Bytes of an unpadded last group; the stream starts over.
  void Finish(std::string& out);
  bool Ended() const { return ended_; }

 private:
  size_t finish(char* out);

  unsigned group_ = 0;
  int count_ = 0;
  bool ended_ = false;
};

namespace mime {
using Base64Decoder = TBase64Stream;
}  // namespace mime
