#pragma once
// The Date field of a received message read as an instant: RFC 5322's date-time, with the
// obsolete forms its section 4.3 asks readers to accept (two- and three-digit years, zone
// names, comments and blanks anywhere, a missing day name or seconds).
#include <cstdint>
#include <optional>
#include <string_view>

namespace mime {

// Seconds since 1970-01-01 00:00:00 UTC; nothing when value is not such a date.
std::optional<std::int64_t> ParseMailDate(std::string_view value);

}  // namespace mime
