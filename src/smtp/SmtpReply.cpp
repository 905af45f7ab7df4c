#include "SmtpReply.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

#include "SysUtils.h"

namespace corvane::smtp {
namespace {

struct CodeText {
  int subject;
  int detail;  // -1: the subject's own meaning, for details the table lacks
  const char* text;
};

// RFC 3463, section 3.
constexpr CodeText kCodes[] = {
    {0, -1, "Other undefined status"},
    {1, -1, "Addressing status"},
    {1, 0, "Other address status"},
    {1, 1, "Bad destination mailbox address"},
    {1, 2, "Bad destination system address"},
    {1, 3, "Bad destination mailbox address syntax"},
    {1, 4, "Destination mailbox address ambiguous"},
    {1, 5, "Destination address valid"},
    {1, 6, "Destination mailbox has moved, no forwarding address"},
    {1, 7, "Bad sender's mailbox address syntax"},
    {1, 8, "Bad sender's system address"},
    {2, -1, "Mailbox status"},
    {2, 0, "Other or undefined mailbox status"},
    {2, 1, "Mailbox disabled, not accepting messages"},
    {2, 2, "Mailbox full"},
    {2, 3, "Message length exceeds administrative limit"},
    {2, 4, "Mailing list expansion problem"},
    {3, -1, "Mail system status"},
    {3, 0, "Other or undefined mail system status"},
    {3, 1, "Mail system full"},
    {3, 2, "System not accepting network messages"},
    {3, 3, "System not capable of selected features"},
    {3, 4, "Message too big for system"},
    {3, 5, "System incorrectly configured"},
    {4, -1, "Network and routing status"},
    {4, 0, "Other or undefined network or routing status"},
    {4, 1, "No answer from host"},
    {4, 2, "Bad connection"},
    {4, 3, "Directory server failure"},
    {4, 4, "Unable to route"},
    {4, 5, "Mail system congestion"},
    {4, 6, "Routing loop detected"},
    {4, 7, "Delivery time expired"},
    {5, -1, "Mail delivery protocol status"},
    {5, 0, "Other or undefined protocol status"},
    {5, 1, "Invalid command"},
    {5, 2, "Syntax error"},
    {5, 3, "Too many recipients"},
    {5, 4, "Invalid command arguments"},
    {5, 5, "Wrong protocol version"},
    {6, -1, "Message content or media status"},
    {6, 0, "Other or undefined media error"},
    {6, 1, "Media not supported"},
    {6, 2, "Conversion required and prohibited"},
    {6, 3, "Conversion required but not supported"},
    {6, 4, "Conversion with loss performed"},
    {6, 5, "Conversion failed"},
    {7, -1, "Security or policy status"},
    {7, 0, "Other or undefined security status"},
    {7, 1, "Delivery not authorized, message refused"},
    {7, 2, "Mailing list expansion prohibited"},
    {7, 3, "Security conversion required but not possible"},
    {7, 4, "Security features not supported"},
    {7, 5, "Cryptographic failure"},
    {7, 6, "Cryptographic algorithm not supported"},
    {7, 7, "Message integrity failure"},
};

// A number of one to three digits at the front of text, which then loses it.
bool takeNumber(std::string_view& text, int& value) {
  size_t n = 0;
  while (n < text.size() && n < 4 && std::isdigit(static_cast<unsigned char>(text[n]))) ++n;
  if (n == 0 || n > 3) return false;
  std::from_chars(text.data(), text.data() + n, value);
  text.remove_prefix(n);
  return true;
}

// The keyword of a capability line in upper case, and the text after it.
std::pair<std::string, std::string_view> keywordOf(std::string_view line) {
  const size_t end = std::min(line.find(' '), line.size());
  std::string keyword(line.substr(0, end));
  std::transform(keyword.begin(), keyword.end(), keyword.begin(), [](unsigned char c) { return std::toupper(c); });
  std::string_view rest = line.substr(end);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return {keyword, rest};
}

}  // namespace

ReplyClass ClassOf(int code) {
  if (code >= 200 && code < 400) return ReplyClass::Positive;
  if (code >= 400 && code < 500) return ReplyClass::Transient;
  if (code >= 500 && code < 600) return ReplyClass::Permanent;
  return ReplyClass::Unknown;
}

std::string EnhancedCodeOf(std::string_view reply) {
  if (reply.size() < 4 || !std::isdigit(static_cast<unsigned char>(reply[0]))) return {};
  std::string_view text = reply.substr(4);
  const std::string_view start = text;
  int part = 0;
  // The class is one digit (RFC 3463): "25.1.1" is no code.
  if (text.size() < 2 || (text[0] != '2' && text[0] != '4' && text[0] != '5') || text[1] != '.') return {};
  for (int i = 0; i < 3; ++i) {
    if (!takeNumber(text, part)) return {};
    if (i < 2 && (text.empty() || text[0] != '.')) return {};
    if (i < 2) text.remove_prefix(1);
  }
  if (!text.empty() && text[0] != ' ' && text[0] != '\r' && text[0] != '\n') return {};
  return std::string(start.substr(0, start.size() - text.size()));
}

std::string EnhancedCodeText(std::string_view code) {
  int klass = 0, subject = 0, detail = 0;
  std::string_view rest = code;
  if (!takeNumber(rest, klass) || rest.empty() || rest[0] != '.') return {};
  rest.remove_prefix(1);
  if (!takeNumber(rest, subject) || rest.empty() || rest[0] != '.') return {};
  rest.remove_prefix(1);
  if (!takeNumber(rest, detail) || !rest.empty()) return {};
  const char* general = nullptr;
  for (const CodeText& entry : kCodes) {
    if (entry.subject != subject) continue;
    if (entry.detail == detail) return entry.text;
    if (entry.detail < 0) general = entry.text;
  }
  return general ? general : "";
}

std::string ExplainReply(std::string_view reply, bool enhanced) {
  std::string line(corvane::WithoutLineBreaks(reply));
  if (!enhanced) return line;
  const std::string code = EnhancedCodeOf(line);
  const std::string meaning = EnhancedCodeText(code);
  if (meaning.empty()) return line;
  return line + " (" + code + ": " + meaning + ")";
}

Extensions Extensions::Parse(const std::vector<std::string>& capabilities) {
  Extensions found;
  for (const std::string& line : capabilities) {
    const auto [keyword, rest] = keywordOf(line);
    if (keyword == "SIZE") {
      found.size = true;
      int64_t limit = 0;
      const std::string_view digits = rest.substr(0, rest.find(' '));
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), limit);
      found.sizeLimit = error == std::errc() && end == digits.data() + digits.size() && limit > 0 ? limit : 0;
    } else if (keyword == "PIPELINING") {
      found.pipelining = true;
    } else if (keyword == "8BITMIME") {
      found.eightBitMime = true;
    } else if (keyword == "SMTPUTF8") {
      found.smtpUtf8 = true;
    } else if (keyword == "ENHANCEDSTATUSCODES") {
      found.enhancedStatusCodes = true;
    }
  }
  return found;
}

}  // namespace corvane::smtp
