#include "UUCode.h"

#include <algorithm>
#include <string>

namespace mime {
namespace {

int uuValue(char c) {
  return (static_cast<unsigned char>(c) - 32) & 63;
}

const std::string kUUAlphabet = [] {
  std::string alphabet(64, '`');
  for (int v = 1; v < 64; ++v) alphabet[static_cast<size_t>(v)] = static_cast<char>(32 + v);
  return alphabet;
}();

bool isBeginLine(std::string_view line) {
  return line.starts_with("begin ");
}

bool isEndLine(std::string_view line) {
  if (!line.starts_with("end")) return false;
  return std::all_of(line.begin() + 3, line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

}  // namespace

const SixBitLines& UULines() {
  static const SixBitLines lines(kUUAlphabet, true, false);
  return lines;
}

size_t DecodeUULine(std::string_view line, char* out) {
  int n = uuValue(line[0]);
  const char* p = line.data() + 1;
  const size_t avail = line.size() - 1;
  char* o = out;
  size_t i = 0;
  for (; n >= 3 && i + 4 <= avail; n -= 3, i += 4) {
    const int a = uuValue(p[i]), b = uuValue(p[i + 1]), c = uuValue(p[i + 2]), d = uuValue(p[i + 3]);
    o[0] = static_cast<char>(a << 2 | b >> 4);
    o[1] = static_cast<char>(b << 4 | c >> 2);
    o[2] = static_cast<char>(c << 6 | d);
    o += 3;
  }
  for (; n > 0; n -= 3, i += 4) {
    int d[4];
    for (size_t j = 0; j < 4; ++j) d[j] = i + j < avail ? uuValue(p[i + j]) : 0;
    *o++ = static_cast<char>(d[0] << 2 | d[1] >> 4);
    if (n >= 2) *o++ = static_cast<char>(d[1] << 4 | d[2] >> 2);
    if (n >= 3) *o++ = static_cast<char>(d[2] << 6 | d[3]);
  }
  return static_cast<size_t>(o - out);
}

UUDecoder::Step UUDecoder::Next(std::string_view line) {
  Step step;
  if (state_ == State::ExpectEnd) {
    state_ = State::Data;
    step.missingEnd = !isEndLine(line);
  }
  if (isBeginLine(line)) {
    state_ = State::Data;
    return step;
  }
  if (isEndLine(line)) {
    state_ = State::AfterEnd;
    return step;
  }
  if (state_ == State::AfterEnd || line.size() <= 2) return step;
  if (uuValue(line[0]) == 0) {
    state_ = State::ExpectEnd;
    return step;
  }
  step.data = true;
  return step;
}

}  // namespace mime
