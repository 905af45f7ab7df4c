#pragma once
// Quoted-printable (RFC 2045) for the text part of an outgoing message.
#include <string>
#include <string_view>
#include <vector>

namespace corvane::smtp {

// One text line, without its line end, as quoted-printable lines of at most 76
// characters; every line but the last ends with the soft break "=".
std::vector<std::string> QuotedPrintableLines(std::string_view line);

}  // namespace corvane::smtp
