#pragma once
// The one lossless bridge between component bytes and UI text (UTF-16).
// Valid UTF-8 becomes its characters; every byte that is not part of valid UTF-8 becomes
// the lone surrogate U+DC00 + byte, and goes back to that byte, so any byte string
// survives a trip through a widget unchanged.
#include <string>
#include <string_view>

namespace corvane {

std::u16string BytesToUtf16(std::string_view bytes);
std::string Utf16ToBytes(std::u16string_view text);

}  // namespace corvane
