#include "SixBitLines.h"

#include <cstdint>
#include <cstring>

namespace mime {
namespace {

inline char* encodeGroups(const char* pairs, const char* alphabet, bool padded, const unsigned char* s, size_t count,
                          char* dst) {
  size_t left = count;
  for (; left >= 3; left -= 3, s += 3) {
    const uint32_t v = static_cast<uint32_t>(s[0]) << 16 | static_cast<uint32_t>(s[1]) << 8 | s[2];
    std::memcpy(dst, &pairs[2 * (v >> 12)], 2);
    std::memcpy(dst + 2, &pairs[2 * (v & 0xFFF)], 2);
    dst += 4;
  }
  if (left == 1) {
    *dst++ = alphabet[s[0] >> 2];
    *dst++ = alphabet[(s[0] << 4) & 48];
    if (padded) *dst++ = '=', *dst++ = '=';
  } else if (left == 2) {
    *dst++ = alphabet[s[0] >> 2];
    *dst++ = alphabet[((s[0] << 4) & 48) | (s[1] >> 4)];
    *dst++ = alphabet[(s[1] << 2) & 60];
    if (padded) *dst++ = '=';
  }
  return dst;
}

}  // namespace

SixBitLines::SixBitLines(std::string_view alphabet, bool counted, bool padded)
    : counted_(counted), padded_(padded), pairs_(2 * 4096) {
  for (size_t v = 0; v < 64; ++v) alphabet_[v] = alphabet[v];
  for (size_t v = 0; v < 4096; ++v) {
    pairs_[2 * v] = alphabet_[v >> 6];
    pairs_[2 * v + 1] = alphabet_[v & 63];
  }
}

char* SixBitLines::Encode(const unsigned char* bytes, size_t count, char* out) const {
  return encodeGroups(pairs_.data(), alphabet_.data(), padded_, bytes, count, out);
}

char* SixBitLines::EncodeLines(const unsigned char* bytes, size_t count, size_t lineBytes, char* dst) const {
  // Copies in locals: the writes through dst could otherwise alias the members.
  const char* const pairs = pairs_.data();
  const char* const alphabet = alphabet_.data();
  const bool counted = counted_;
  const bool padded = padded_;
  for (size_t done = 0; done < count; done += lineBytes) {
    const size_t n = count - done < lineBytes ? count - done : lineBytes;
    if (counted) *dst++ = alphabet[n & 63];
    dst = encodeGroups(pairs, alphabet, padded, bytes + done, n, dst);
    *dst++ = '\r';
    *dst++ = '\n';
  }
  return dst;
}

}  // namespace mime
