// The reply code both protocol components read from a reply line.
#include <gtest/gtest.h>

#include "Exceptions.h"
#include "ZnSock.h"

namespace {

TEST(ReplyCode, AtMostTenDigitsZeroPastInt32AndARangeErrorPast32767) {
  struct Case {
    const char* line;
    int code;
  };
  const Case cases[] = {
      {"250 OK\r\n", 250}, {"250-PIPELINING\r\n", 250}, {"+OK\r\n", 0},      {"\r\n", 0},       {"32767 x", 32767},
      {"4294967296 x", 0}, {"99999999999", 0},          {"00000000250", 25}, {"2147483648", 0}, {"0000000000032768", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(corvane::ReplyCodeOf(c.line), c.code) << c.line;
  for (const char* line : {"32768 x", "2147483647", "0000032768"}) {
    try {
      corvane::ReplyCodeOf(line);
      ADD_FAILURE() << line;
    } catch (const ERangeError& e) {
      EXPECT_STREQ(e.what(), "Range check error");
    }
  }
}

}  // namespace
