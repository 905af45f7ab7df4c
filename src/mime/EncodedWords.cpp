#include "EncodedWords.h"

#include <cctype>

#include "Base64.h"
#include "Charsets.h"
#include "QuotedPrintable.h"
#include "SysUtils.h"

namespace mime {
namespace {

// Bytes per encoded word: 52 base64 characters, a word of 64, so that "Reply-To: " and a
// word, or a blank, a word and a closing quote, stay within a folded line of 76.
constexpr size_t kWordBytes = 39;

}  // namespace

std::string DecodeEncodedWords(std::string_view value) {
  std::string out;
  // Bytes of adjacent encoded words in one charset are converted together: a character
  // may be split across two words.
  std::string pending;
  std::string pendingCharset;
  const auto flush = [&] {
    if (!pending.empty() || !pendingCharset.empty()) out += ToUtf8(pending, pendingCharset);
    pending.clear();
    pendingCharset.clear();
  };
  size_t i = 0;
  size_t textStart = 0;
  bool lastWasWord = false;
  while (i < value.size()) {
    const size_t open = value.find("=?", i);
    if (open == std::string_view::npos) break;
    // =?charset?E?text?=
    const size_t q1 = value.find('?', open + 2);
    if (q1 == std::string_view::npos || q1 + 2 >= value.size() || value[q1 + 2] != '?') {
      i = open + 2;
      continue;
    }
    const char enc = static_cast<char>(std::toupper(static_cast<unsigned char>(value[q1 + 1])));
    const size_t close = value.find("?=", q1 + 3);
    if ((enc != 'B' && enc != 'Q') || close == std::string_view::npos) {
      i = open + 2;
      continue;
    }
    std::string charset(value.substr(open + 2, q1 - open - 2));
    if (const size_t star = charset.find('*'); star != std::string::npos) charset.resize(star);  // RFC 2231 language
    if (charset.find_first_of(" \t") != std::string::npos) {
      i = open + 2;
      continue;
    }
    const std::string_view between = value.substr(textStart, open - textStart);
    const bool onlyBlanks = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (!(lastWasWord && onlyBlanks)) {
      flush();
      out += ToUtf8(between, {});
    }
    const std::string_view text = value.substr(q1 + 3, close - q1 - 3);
    std::string bytes;
    if (enc == 'B') {
      bytes = DecodeBase64(text);
    } else {
      for (size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '_') {
          bytes += ' ';
        } else if (text[k] == '=' && k + 2 < text.size() && HexDigitValue(text[k + 1]) >= 0 &&
                   HexDigitValue(text[k + 2]) >= 0) {
          bytes += static_cast<char>(HexDigitValue(text[k + 1]) * 16 + HexDigitValue(text[k + 2]));
          k += 2;
        } else {
          bytes += text[k];
        }
      }
    }
    if (corvane::LowerCase(charset) != corvane::LowerCase(pendingCharset)) flush();
    pendingCharset = charset;
    pending += bytes;
    lastWasWord = true;
    i = close + 2;
    textStart = i;
  }
  flush();
  out += ToUtf8(value.substr(textStart), {});
  return out;
}

std::vector<std::string> EncodedWords(std::string_view text) {
  std::vector<std::string> words;
  while (!text.empty()) {
    size_t n = 0;
    while (n < text.size()) {
      const size_t next = CharacterLength(text.substr(n));
      if (n > 0 && n + next > kWordBytes) break;
      n += next;
    }
    words.push_back("=?UTF-8?B?" + EncodeBase64(text.substr(0, n)) + "?=");
    text.remove_prefix(n);
  }
  return words;
}

}  // namespace mime
