#pragma once
// What an SMTP reply means: its class (RFC 5321), the enhanced status code a server may put
// at the start of its text (RFC 3463) with that code's meaning, and the service extensions
// an EHLO reply announces.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::smtp {

// 2xx and 3xx go on; 4xx may succeed when tried again later; 5xx will not.
enum class ReplyClass { Positive, Transient, Permanent, Unknown };
ReplyClass ClassOf(int code);

// The enhanced status code after the reply code ("5.1.1" in "550 5.1.1 No such user"), or
// empty when the text does not begin with one.
std::string EnhancedCodeOf(std::string_view reply);
// The meaning RFC 3463 gives a code's subject and detail ("Bad destination mailbox
// address" for 5.1.1); the subject's general meaning for a detail it does not list; empty
// for a code it does not know.
std::string EnhancedCodeText(std::string_view code);
// The reply line without its line end; when the server announced enhanced status codes and
// the line carries one, followed by that code and its meaning in parentheses.
std::string ExplainReply(std::string_view reply, bool enhanced);

// The extensions of an EHLO reply that sending uses. An account that says HELO has none.
struct Extensions {
  bool size = false;      // SIZE: the client tells the message's size on MAIL FROM
  int64_t sizeLimit = 0;  // the largest message the server takes; 0 when it fixed none
  bool pipelining = false;
  bool eightBitMime = false;  // never needed: the composer codes every message 7-bit
  bool smtpUtf8 = false;
  bool enhancedStatusCodes = false;

  // From the lines after the first of an EHLO reply, each without its code and line end.
  static Extensions Parse(const std::vector<std::string>& capabilities);
};

}  // namespace corvane::smtp
