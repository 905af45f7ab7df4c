#include "Base64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr signed char kSkip = -1;
constexpr signed char kPad = -2;

constexpr std::array<signed char, 256> kValues = [] {
  std::array<signed char, 256> values{};
  values.fill(kSkip);
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(mime::kBase64Alphabet[static_cast<size_t>(i)])] = static_cast<signed char>(i);
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

int valueOf(char c) {
  return kValues[static_cast<unsigned char>(c)];
}

}  // namespace

namespace mime {

std::string EncodeBase64(std::string_view bytes) {
  std::string text((bytes.size() + 2) / 3 * 4, '\0');
  Base64Lines().Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), text.data());
  return text;
}

const SixBitLines& Base64Lines() {
  static const SixBitLines lines(kBase64Alphabet, false, true);
  return lines;
}

std::string DecodeBase64(std::string_view text, Base64Pad pad) {
  TBase64Stream decoder;
  std::string out;
  out.reserve(text.size() * 3 / 4);
  if (pad == Base64Pad::Ends) {
    decoder.Feed(text, out);
  } else {
    // The pieces between pads make one stream.
    for (size_t at = 0; at <= text.size();) {
      const size_t next = std::min(text.find('=', at), text.size());
      decoder.Feed(text.substr(at, next - at), out);
      at = next + 1;
    }
  }
  decoder.Finish(out);
  return out;
}

Base64LineEnd DecodeBase64Line(std::string_view line, char* out, size_t& written) {
  written = 0;
  const size_t m = line.size();
  if (m <= 2 || line.starts_with("====")) return Base64LineEnd::Continue;
  size_t i = 0;
  while (i < m - 1 && valueOf(line[i]) < 0) {
    if (line[i] == '=') return Base64LineEnd::Now;
    ++i;
  }
  if (i == m - 1) return Base64LineEnd::Continue;

  Base64LineEnd result = Base64LineEnd::Continue;
  const char* p = line.data();
  char* o = out;
  while (i < m - 1) {
    if (i + 4 <= m) {
      const int a = valueOf(p[i]), b = valueOf(p[i + 1]), c = valueOf(p[i + 2]), d = valueOf(p[i + 3]);
      if ((a | b | c | d) >= 0) {
        const uint32_t group = static_cast<uint32_t>(a << 18 | b << 12 | c << 6 | d);
        o[0] = static_cast<char>(group >> 16);
        o[1] = static_cast<char>(group >> 8);
        o[2] = static_cast<char>(group);
        o += 3;
        i += 4;
        continue;
      }
    }
    const int first = valueOf(p[i]);
    if (first < 0) {
      ++i;
      continue;
    }
    int v[4] = {first, 0, 0, 0};
    int have = 1;
    bool padded = false;
    size_t k = i + 1;
    while (have < 4 && k < m) {
      const int value = valueOf(p[k]);
      if (value >= 0) {
        v[have++] = value;
      } else if (p[k] == '=') {
        padded = true;
        break;
      }
      ++k;
    }
    if (have >= 2) *o++ = static_cast<char>(v[0] << 2 | v[1] >> 4);
    if (have >= 3) *o++ = static_cast<char>(v[1] << 4 | v[2] >> 2);
    if (have == 4) *o++ = static_cast<char>(v[2] << 6 | v[3]);
    if (!padded) {
      i = k;
      continue;
    }
    result = Base64LineEnd::AfterLine;
    // A "=" in the fourth place is stepped over by the scan; one in the third skips the fourth.
    i = have == 3 ? k : k + 1;
  }
  written = static_cast<size_t>(o - out);
  return result;
}

}  // namespace mime

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
