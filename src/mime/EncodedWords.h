#pragma once
// RFC 2047 encoded words: decoded in received header values, made for outgoing ones.
#include <string>
#include <string_view>
#include <vector>

namespace mime {

// A header value with its encoded words decoded; the rest made valid UTF-8.
std::string DecodeEncodedWords(std::string_view value);

// Encoded words (UTF-8, base64) that decode to text. Each word is short enough for a
// folded line and holds whole characters only, so every word decodes on its own.
std::vector<std::string> EncodedWords(std::string_view text);

}  // namespace mime
