#pragma once
// Base64 (RFC 2045) as one stream across line ends, decoded a whole span at a time:
// characters outside the alphabet (line ends, blanks, stray bytes) are skipped, a pad ends
// the data and everything after it is ignored. The common case, four alphabet characters
// in a row, costs one table look-up each.
#include <cstddef>
#include <string>
#include <string_view>

class TBase64Stream {
 public:
  // The most bytes Feed can write for a span of this many characters.
  static constexpr size_t MaxDecoded(size_t chars) { return chars / 4 * 3 + 3; }

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
