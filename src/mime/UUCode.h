#pragma once
// Uuencode lines: out as counted lines of the uuencode alphabet, back line by line with
// the "begin" and "end" lines that frame the data.
#include <cstddef>
#include <string_view>

#include "SixBitLines.h"

namespace mime {

// Counted lines without pads; a zero count is "`", as readers expect for a blank.
const SixBitLines& UULines();
// The zero-length line that closes the data, before the "end" line.
inline constexpr std::string_view kUUZeroLine = "`\r\n";
// What the reader is told when the data closes without its "end" line.
inline constexpr std::string_view kUUNoEndLine = " No end line.";

// The most bytes one data line gives.
inline constexpr size_t kMaxUULineBytes = 63;
// One data line (without its line end, at least one character): the count character,
// then groups of four characters giving three bytes each. Characters missing at the end
// (blanks stripped in transit) count as 0. Returns the bytes written to out.
size_t DecodeUULine(std::string_view line, char* out);

// Follows the lines of a uuencoded text: a zero-count line closes the data and wants
// "end" next; after "end" the lines are text until the next "begin".
class UUDecoder {
 public:
  struct Step {
    bool data = false;        // a data line, for DecodeUULine
    bool missingEnd = false;  // the data before it closed without its "end" line
  };
  // One line without its line end.
  Step Next(std::string_view line);
  // After the last line: the data closed and no "end" line came.
  bool EndMissing() const { return state_ == State::ExpectEnd; }

 private:
  enum class State { Data, ExpectEnd, AfterEnd } state_ = State::Data;
};

}  // namespace mime
