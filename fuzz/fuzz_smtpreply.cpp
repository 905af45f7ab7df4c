// What a server or a received message hands the sending side: reply lines, EHLO
// capabilities and the header lines a reply threads under. Nothing crashes; an explained
// reply begins with the line itself; an enhanced code has the form of one; and the thread
// fields, which go into an outgoing header, hold only whole "<id>"s with no blank or
// control inside.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "ReplyThread.h"
#include "SmtpReply.h"
#include "SysUtils.h"

namespace {

std::vector<std::string> linesOf(std::string_view bytes) {
  std::vector<std::string> lines;
  for (size_t start = 0; start <= bytes.size();) {
    const size_t end = std::min(bytes.find('\n', start), bytes.size());
    lines.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool digits(std::string_view text, size_t most) {
  if (text.empty() || text.size() > most) return false;
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// "c.s.d": class 2, 4 or 5; subject and detail of one to three digits.
bool enhancedForm(std::string_view code) {
  const size_t first = code.find('.');
  const size_t second = code.find('.', first + 1);
  if (first != 1 || second == std::string_view::npos) return false;
  return (code[0] == '2' || code[0] == '4' || code[0] == '5') && digits(code.substr(2, second - 2), 3) &&
         digits(code.substr(second + 1), 3);
}

// Blank-separated "<...>" ids, each free of blanks and controls.
bool idList(std::string_view text, bool one) {
  if (text.empty()) return true;
  size_t ids = 0;
  for (size_t start = 0; start <= text.size(); ++ids) {
    const size_t end = std::min(text.find(' ', start), text.size());
    const std::string_view id = text.substr(start, end - start);
    if (id.size() < 3 || id.front() != '<' || id.back() != '>') return false;
    for (const char c : id)
      if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    start = end + 1;
  }
  return !one || ids == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = linesOf(bytes);

  const corvane::smtp::Extensions extensions = corvane::smtp::Extensions::Parse(lines);
  FUZZ_CHECK(extensions.sizeLimit >= 0);
  for (const std::string& line : lines) {
    const std::string code = corvane::smtp::EnhancedCodeOf(line);
    FUZZ_CHECK(code.empty() || enhancedForm(code));
    const std::string plain = corvane::smtp::ExplainReply(line, false);
    FUZZ_CHECK(plain == corvane::WithoutLineBreaks(line));
    FUZZ_CHECK(corvane::smtp::ExplainReply(line, true).starts_with(plain));
  }

  const mime::ReplyThread thread = mime::ThreadOfReply(lines);
  FUZZ_CHECK(idList(thread.inReplyTo, true));
  FUZZ_CHECK(idList(thread.references, false));
  // The answered message's id ends its references.
  FUZZ_CHECK(thread.inReplyTo.empty() || thread.references.ends_with(thread.inReplyTo));
  return 0;
}
