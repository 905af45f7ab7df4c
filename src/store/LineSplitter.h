#pragma once
// Splits bytes that arrive in pieces into lines as the text tree reads them: a line ends at
// CR LF, at a lone CR or at a lone LF, and a last line without its end counts. Each line is
// handed over with its offset and the length of its end (0, 1 or 2), so that a reader can
// tell where it lies in the file and whether it ends as the store writes lines.
#include <cstdint>
#include <string>
#include <string_view>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

class LineSplitter {
 public:
  explicit LineSplitter(int64_t offset = 0) : offset_(offset) {}

  // Calls line(int64_t offset, std::string_view text, size_t endLength) for every line
  // that the bytes fed so far complete.
  template <typename Line>
  void Feed(std::string_view bytes, Line&& line) {
    if (!carry_.empty() && !completeCarry(bytes, line)) return;
    const char* const data = bytes.data();
    const size_t size = bytes.size();
    size_t pos = 0;
    while (pos < size) {
      const char* end = lineEnd(data + pos, data + size);
      if (end == data + size || (*end == '\r' && end + 1 == data + size)) break;  // a CR LF may be cut in two
      const size_t length = static_cast<size_t>(end - (data + pos));
      const size_t endLength = *end == '\r' && end[1] == '\n' ? 2 : 1;
      line(offset_, std::string_view(data + pos, length), endLength);
      pos += length + endLength;
      offset_ += static_cast<int64_t>(length + endLength);
    }
    carry_.assign(data + pos, size - pos);
  }

  // The end of the bytes: a line still open is handed over, a lone CR as its end.
  template <typename Line>
  void Finish(Line&& line) {
    if (carry_.empty()) return;
    const bool cr = carry_.back() == '\r';
    line(offset_, std::string_view(carry_).substr(0, carry_.size() - (cr ? 1 : 0)), cr ? 1 : 0);
    offset_ += static_cast<int64_t>(carry_.size());
    carry_.clear();
  }

 private:
  // The first CR or LF in [from, to), or to; sixteen bytes a step where the processor allows.
  static const char* lineEnd(const char* from, const char* to) {
#ifdef __SSE2__
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; to - from >= 16; from += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
      const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
      if (hits != 0) return from + __builtin_ctz(static_cast<unsigned>(hits));
    }
#endif
    while (from < to && *from != '\r' && *from != '\n') ++from;
    return from;
  }

  // Completes the line carried over from the last piece; false when bytes does not.
  template <typename Line>
  bool completeCarry(std::string_view& bytes, Line&& line) {
    if (bytes.empty()) return false;
    if (carry_.back() != '\r') {
      const char* start = bytes.data();
      const char* stop = start + bytes.size();
      const char* end = lineEnd(start, stop);
      if (end == stop || (*end == '\r' && end + 1 == stop)) {
        carry_.append(bytes);
        return false;
      }
      carry_.append(start, static_cast<size_t>(end - start));
      carry_ += *end;
      bytes.remove_prefix(static_cast<size_t>(end - start) + 1);
      if (carry_.back() == '\n') {
        emitCarry(0, line);
        return true;
      }
      if (bytes.empty()) return false;
    }
    // The carried line ends in CR: a CR LF when the next byte is LF.
    const bool lf = bytes.front() == '\n';
    if (lf) bytes.remove_prefix(1);
    emitCarry(lf ? 1 : 0, line);
    return true;
  }

  // Hands over the carried line, which ends in its CR or LF, with lf more bytes of end.
  template <typename Line>
  void emitCarry(size_t lf, Line&& line) {
    line(offset_, std::string_view(carry_).substr(0, carry_.size() - 1), 1 + lf);
    offset_ += static_cast<int64_t>(carry_.size() + lf);
    carry_.clear();
  }

  std::string carry_;  // the start of a line that the bytes so far did not complete
  int64_t offset_;     // of the first byte not yet handed over
};
