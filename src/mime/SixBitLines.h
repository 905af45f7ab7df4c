#pragma once
// Three bytes as four characters of a 64-character alphabet, in lines: the shape base64
// and uuencode share. Two characters are looked up at a time, so a line costs two table
// reads per three bytes.
#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

namespace mime {

class SixBitLines {
 public:
  // counted: every line begins with the character for its count of bytes (uuencode);
  // padded: a short last group is filled up with "=" (base64).
  SixBitLines(std::string_view alphabet, bool counted, bool padded);

  // The characters for count bytes, without a line end; returns the end of what it wrote.
  char* Encode(const unsigned char* bytes, size_t count, char* out) const;
  // The bytes as lines of lineBytes bytes (the last may be shorter), each ended by CR LF.
  char* EncodeLines(const unsigned char* bytes, size_t count, size_t lineBytes, char* out) const;
  // The room EncodeLines needs for count bytes.
  static constexpr size_t LinesRoom(size_t count, size_t lineBytes) {
    return (count + lineBytes - 1) / lineBytes * ((lineBytes + 2) / 3 * 4 + 3);
  }
  char Digit(unsigned value) const { return alphabet_[value & 63]; }

 private:
  std::array<char, 64> alphabet_{};
  bool counted_;
  bool padded_;
  // Each pair holds the two characters of one 12-bit half of a three-byte group.
  std::vector<char> pairs_;
};

}  // namespace mime
