#pragma once
// Whether a text part was ever in the transfer encoding its header names. A sender that
// labels plain text base64 would otherwise show the reader decoded garbage; such a part is
// shown as it came, under a note that says why.
#include <cstddef>
#include <string_view>

#include "EntityHeader.h"

namespace mime {

// How much of a part's content, as it came, is enough to judge it by.
inline constexpr size_t kDecodingSample = 64 * 1024;

// coded: the part's content as it came (or its first kDecodingSample bytes or more);
// decoded: what decoding that gave. True where the content is plainly not in coding:
// - base64: bytes before its pad outside its alphabet and white space beyond a small
//   tolerance, or decoded control characters (more than one in a hundred bytes) where the
//   content as it came has no more than that;
// - quoted-printable, whose senders are often sloppy, only the latter.
// Charsets of more than one byte a character are judged by the alphabet alone.
bool FailsItsDecoding(Coding coding, std::string_view coded, std::string_view decoded, std::string_view charset);

// The line shown above a part that failed its decoding.
std::string_view UndecodedNote(Coding coding);

}  // namespace mime
