#include "Base64Stream.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr signed char kSkip = -1;
constexpr signed char kPad = -2;

constexpr std::array<signed char, 256> kValues = [] {
  std::array<signed char, 256> values{};
  values.fill(kSkip);
  for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  values['='] = kPad;
  return values;
}();

// A character's value already moved to its place in a group of four; anything outside the
// alphabet sets kBad, which no combination of valid places can.
constexpr uint32_t kBad = 1u << 24;
using Places = std::array<uint32_t, 256>;
constexpr Places placed(int shift) {
  Places table{};
  for (int c = 0; c < 256; ++c)
    table[static_cast<size_t>(c)] =
        kValues[static_cast<size_t>(c)] < 0 ? kBad : static_cast<uint32_t>(kValues[static_cast<size_t>(c)]) << shift;
  return table;
}
constexpr Places kPlace0 = placed(18), kPlace1 = placed(12), kPlace2 = placed(6), kPlace3 = placed(0);

}  // namespace

size_t TBase64Stream::Feed(std::string_view text, char* out) {
  if (ended_) return 0;
  char* o = out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  for (;;) {
    // Whole groups while no line end, blank or pad interrupts them.
    if (count_ == 0) {
      while (end - p >= 4) {
        const uint32_t group = kPlace0[p[0]] | kPlace1[p[1]] | kPlace2[p[2]] | kPlace3[p[3]];
        if (group & kBad) break;
        o[0] = static_cast<char>(group >> 16);
        o[1] = static_cast<char>(group >> 8);
        o[2] = static_cast<char>(group);
        o += 3;
        p += 4;
      }
    }
    if (p == end) break;
    const int v = kValues[*p++];
    if (v == kSkip) continue;
    if (v == kPad) {
      // A pad completes the last group: its bytes are out, the data ends here.
      o += finish(o);
      ended_ = true;
      break;
    }
    group_ = (group_ << 6) | static_cast<unsigned>(v);
    if (++count_ == 4) {
      o[0] = static_cast<char>((group_ >> 16) & 0xFF);
      o[1] = static_cast<char>((group_ >> 8) & 0xFF);
      o[2] = static_cast<char>(group_ & 0xFF);
      o += 3;
      group_ = 0;
      count_ = 0;
    }
  }
  return static_cast<size_t>(o - out);
}

void TBase64Stream::Feed(std::string_view text, std::string& out) {
  const size_t start = out.size();
  out.resize(start + MaxDecoded(text.size()));
  out.resize(start + Feed(text, out.data() + start));
}

size_t TBase64Stream::finish(char* out) {
  size_t n = 0;
  if (count_ == 2) out[n++] = static_cast<char>((group_ >> 4) & 0xFF);
  if (count_ == 3) {
    out[n++] = static_cast<char>((group_ >> 10) & 0xFF);
    out[n++] = static_cast<char>((group_ >> 2) & 0xFF);
  }
  group_ = 0;
  count_ = 0;
  return n;
}

void TBase64Stream::Finish(std::string& out) {
  char bytes[2];
  out.append(bytes, finish(bytes));
}
