// Date fields as mailers send them, read as instants (seconds since the epoch, UTC).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "MailDate.h"

namespace {

struct DateCase {
  const char* value;
  std::optional<std::int64_t> instant;
};

// 1,000,000,000 seconds: Sun, 9 Sep 2001 01:46:40 +0000.
constexpr std::int64_t kBillion = 1000000000;

const DateCase kCases[] = {
    {"Sun, 9 Sep 2001 01:46:40 +0000", kBillion},
    {"Sun, 09 Sep 2001 03:46:40 +0200", kBillion},
    {"Sat, 8 Sep 2001 21:46:40 -0400", kBillion},
    {"9 Sep 2001 01:46:40 GMT", kBillion},  // no day name, a zone name
    {"Sat, 8 Sep 2001 20:46:40 EST", kBillion},
    {"Sat, 8 Sep 2001 18:46:40 PDT", kBillion},
    {"sun,9 sep 2001 01:46:40 +0000 (UTC)", kBillion},                 // case, no blank, a trailing comment
    {"Sun (first (nested)),\r\n 9 Sep 01 01 : 46 : 40 UT", kBillion},  // folded, two-digit year
    {"Sun, 9 Sep 101 01:46:40 Z", kBillion},                           // three-digit year
    {"Sun, 9 Sep 2001 01:46 +0000", kBillion - 40},                    // no seconds
    {"Sun, 9 Sep 2001 01:46:40", kBillion},                            // no zone
    {"Sun, 9 Sep 2001 01:46:40 A", kBillion},                          // military zones mean -0000
    {"Thu, 1 Jan 1970 00:00:00 +0000", 0},
    {"Thu, 1 Jan 70 00:00:00 +0000", 0},
    {"Wed, 31 Dec 1969 23:59:59 +0000", -1},
    {"Sat, 1 Jan 2050 00:00:00 +0000", 2524608000},
    {"Thu, 29 Feb 2024 12:00:00 +0000", 1709208000},
    {"Sat, 31 Dec 2016 23:59:60 +0000", 1483228799},  // a leap second
    // Not dates: nothing rather than a guess.
    {"", std::nullopt},
    {"yesterday", std::nullopt},
    {"Sun, 9 Sep 2001", std::nullopt},
    {"Sun, 32 Sep 2001 01:46:40 +0000", std::nullopt},
    {"Fri, 29 Feb 2019 01:46:40 +0000", std::nullopt},
    {"Sun, 9 Foo 2001 01:46:40 +0000", std::nullopt},
    {"Sun, 9 Sep 2001 24:00:00 +0000", std::nullopt},
    {"Sun, 9 Sep 2001 01:60:00 +0000", std::nullopt},
    {"Sun, 9 Sep 2001 01:46:40 +0060", std::nullopt},
    {"Sun, 9 Sep 2001 01:46:40 +00", std::nullopt},
    {"Sun, 9 Sep 2001 01:46:40 +0000 extra", std::nullopt},
    {"Sun, 9 Sep 2001 01:46:40 (open comment", std::nullopt},
    {"Sun, 9 Sep 0049 01:46:40 +0000", std::nullopt},
    {"Sun, 9 Sep 99999999999 01:46:40 +0000", std::nullopt},
    {"2001-09-09T01:46:40Z", std::nullopt},
};

TEST(MailDate, ReadsTheFieldAndItsObsoleteFormsAsAnInstant) {
  for (const DateCase& c : kCases) EXPECT_EQ(mime::ParseMailDate(c.value), c.instant) << c.value;
}

}  // namespace
