#pragma once
// Small string helpers shared by every unit.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A decimal 32-bit integer, optionally negative, with nothing around it; anything else
// raises EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(std::string_view text);
std::string IntToStr(int64_t value);

// Blanks and control characters (code <= 32) removed from the ends.
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);

// ASCII case folding; locale-aware comparison lives with the string list.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b);

// Folder part of a path including its trailing separator, file-name part, extension change.
std::string ExtractFilePath(std::string_view path);
std::string ExtractFileName(std::string_view path);
std::string ChangeFileExt(std::string_view path, std::string_view ext);
bool FileExists(const std::string& path);

}  // namespace corvane
