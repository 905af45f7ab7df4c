#include "DecodingCheck.h"

#include "Base64.h"

namespace mime {
namespace {

// Bytes that no text holds: C0 controls but tab, line ends, form feed and the escape of
// ISO-2022 charsets, and DEL.
bool isControl(unsigned char c) {
  return (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1B) || c == 0x7F;
}

// Text, as far as a charset of one byte a character (or UTF-8) goes: control characters
// no more than one in a hundred bytes.
bool plausibleText(std::string_view bytes) {
  size_t controls = 0;
  for (const char c : bytes) controls += isControl(static_cast<unsigned char>(c));
  return controls <= bytes.size() / 100;
}

bool isWide(std::string_view charset) {
  const auto starts = [&](std::string_view prefix) {
    if (charset.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
      if ((charset[i] | 0x20) != prefix[i]) return false;
    return true;
  };
  return starts("utf-16") || starts("utf-32") || starts("ucs");
}

// Bytes of the content that base64 has no place for, up to its pad, which ends the data
// (what follows it, a list's footer say, is never decoded): anything outside its alphabet
// but white space, which decoding steps over.
bool strayFromBase64(std::string_view coded) {
  size_t stray = 0;
  size_t total = 0;
  for (const char c : coded.substr(0, coded.find('='))) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    ++total;
    stray += kBase64Alphabet.find(c) == std::string_view::npos;
  }
  // A stray byte or two (a lost dash, a mark) is not worth the text.
  return stray > 2 && stray * 100 > total;
}

}  // namespace

bool FailsItsDecoding(Coding coding, std::string_view coded, std::string_view decoded, std::string_view charset) {
  if (coding != Coding::Base64 && coding != Coding::QuotedPrintable) return false;
  if (coding == Coding::Base64 && strayFromBase64(coded)) return true;
  if (isWide(charset)) return false;
  return !plausibleText(decoded) && plausibleText(coded);
}

std::string_view UndecodedNote(Coding coding) {
  return coding == Coding::Base64
             ? "[This text is not in the base64 it claims to be and is shown as it came.]"
             : "[This text is not in the quoted-printable it claims to be and is shown as it came.]";
}

}  // namespace mime
