#pragma once
// The codecs from one stream to another: a whole file coded into lines, or coded lines
// decoded from a stream's position to its end. Memory stays flat in the streams' size.
#include <functional>
#include <string>
#include <string_view>

#include "SixBitLines.h"
#include "Streams.h"

namespace mime {

// Lines of this many bytes each: 60 characters of base64 or uuencode.
inline constexpr size_t kCodedLineBytes = 45;

using CoderNotice = std::function<void(std::string_view Text)>;

// Everything in from its position on, as lines of kCodedLineBytes bytes appended to out.
void EncodeLines(TStream& in, TStream& out, const SixBitLines& code);
// Base64 lines (see DecodeBase64Line), written at out's position. in is left just after
// the last line taken.
void DecodeBase64Lines(TStream& in, TStream& out);
// Uuencoded lines (see UUDecoder), the same way; notice hears kUUNoEndLine.
void DecodeUULines(TStream& in, TStream& out, const CoderNotice& notice);
// A whole uuencoded text.
std::string DecodeUUText(std::string_view text, const CoderNotice& notice);

}  // namespace mime
