#pragma once
// Text of received mail into UTF-8 with a well-kept converter (iconv). Nothing here ever
// drops a byte: text in an unknown or wrong charset is shown as Windows-1252 where it is
// not valid in the charset it claims.
#include <cstddef>
#include <string>
#include <string_view>

namespace mime {

bool IsValidUtf8(std::string_view bytes);

// The bytes as UTF-8, read in the given charset (MIME name, any case; empty means unknown).
std::string ToUtf8(std::string_view bytes, std::string_view charset);

// The length of the UTF-8 character at the start of text (not empty); 1 for a byte that
// starts none, so that text is always cut between whole characters where it has them.
size_t CharacterLength(std::string_view text);

}  // namespace mime
