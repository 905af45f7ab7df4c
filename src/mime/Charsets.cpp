#include "Charsets.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "SysUtils.h"

namespace mime {

namespace {

void appendCodePoint(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the valid UTF-8 sequence at the start of bytes, or 0.
size_t utf8SequenceLength(std::string_view bytes) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() < n) return 0;
  unsigned cp = c & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// One iconv descriptor for the life of a conversion.
class Converter {
 public:
  explicit Converter(const std::string& from) : cd_(::iconv_open("UTF-8", from.c_str())) {}
  ~Converter() {
    if (ok()) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts as much as it can; returns the bytes of input consumed.
  size_t convert(std::string_view in, std::string& out) {
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char buffer[4096];
    while (left > 0) {
      char* dst = buffer;
      size_t room = sizeof buffer;
      const size_t r = ::iconv(cd_, &src, &left, &dst, &room);
      out.append(buffer, static_cast<size_t>(dst - buffer));
      if (r == static_cast<size_t>(-1) && errno != E2BIG) break;
    }
    // Flush any state a stateful charset (ISO-2022) holds.
    char* dst = buffer;
    size_t room = sizeof buffer;
    ::iconv(cd_, nullptr, nullptr, &dst, &room);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    return in.size() - left;
  }

 private:
  iconv_t cd_;
};

// A byte that is not valid where it stands, read as Windows-1252 (Latin-1 where that code
// page leaves it undefined), so that it shows and nothing is lost.
void appendFallbackByte(std::string& out, unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) {
    Converter cp1252("WINDOWS-1252");
    const char c = static_cast<char>(byte);
    if (cp1252.ok() && cp1252.convert(std::string_view(&c, 1), out) == 1) return;
  }
  appendCodePoint(out, byte);
}

// The end of the ASCII run from i, eight bytes at a time.
size_t asciiRun(std::string_view bytes, size_t i) {
  while (i + 8 <= bytes.size()) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

std::string utf8OrFallback(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    // Runs of valid text go over whole; only a byte that is not valid UTF-8 is converted.
    size_t run = asciiRun(bytes, i);
    while (run < bytes.size()) {
      if (static_cast<unsigned char>(bytes[run]) < 0x80) {
        ++run;
        continue;
      }
      const size_t n = utf8SequenceLength(bytes.substr(run));
      if (n == 0) break;
      run += n;
    }
    out.append(bytes.substr(i, run - i));
    i = run;
    if (i < bytes.size()) appendFallbackByte(out, static_cast<unsigned char>(bytes[i++]));
  }
  return out;
}

// Names that mailers use for a charset iconv knows better under another name, or whose
// real-world use is a superset (as browsers treat them).
std::string iconvName(std::string charset) {
  charset = corvane::LowerCase(charset);
  if (charset == "iso-8859-1" || charset == "latin1") return "WINDOWS-1252";
  if (charset == "gb2312" || charset == "gbk" || charset == "x-gbk") return "GB18030";
  if (charset == "ks_c_5601-1987" || charset == "euc-kr") return "CP949";
  if (charset == "shift_jis" || charset == "x-sjis" || charset == "sjis") return "CP932";
  if (charset == "iso-8859-8-i") return "ISO-8859-8";
  return charset;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  size_t i = asciiRun(bytes, 0);
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const size_t n = utf8SequenceLength(bytes.substr(i));
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string ToUtf8(std::string_view bytes, std::string_view charset) {
  const std::string lower = corvane::LowerCase(corvane::Trim(charset));
  // A text labelled ASCII that holds 8-bit bytes is most often UTF-8 with Latin-1 mixed in.
  if (lower.empty() || lower == "utf-8" || lower == "utf8" || lower == "unknown-8bit" || lower == "us-ascii" ||
      lower == "ascii")
    return utf8OrFallback(bytes);
  // Text that is valid UTF-8 is taken as such whatever its label says: mailers often name
  // a Latin charset for UTF-8 text, and valid UTF-8 is all but never meant otherwise.
  // Not so for the wide charsets, nor for the ISO-2022 ones, which are ASCII with escapes.
  const bool wide = lower.starts_with("utf-16") || lower.starts_with("utf-32") || lower.starts_with("ucs");
  if (!wide && bytes.find('\x1B') == std::string_view::npos && IsValidUtf8(bytes)) return std::string(bytes);
  Converter converter(iconvName(lower));
  if (!converter.ok()) return utf8OrFallback(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  size_t at = 0;
  while (at < bytes.size()) {
    at += converter.convert(bytes.substr(at), out);
    if (at < bytes.size()) appendFallbackByte(out, static_cast<unsigned char>(bytes[at++]));
  }
  return out;
}

size_t CharacterLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const size_t n = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
  if (n > text.size()) return 1;
  for (size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
  return n;
}

}  // namespace mime
