#pragma once
// The header of an outgoing message: the pieces that carry text the user typed (RFC 2047
// encoded words for subjects and display names, RFC 2231 parameters for attachment names,
// quoted strings), folding of long fields, the Date and a fresh Message-ID. Text that
// needs none of this keeps its bytes.
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace mime {

// The longest line a header or body may have on the wire, without its CR LF.
inline constexpr size_t kMaxLine = 998;
// Where folding breaks a line: the limit RFC 2047 sets for lines with encoded words.
inline constexpr size_t kFoldAt = 76;

// True when text can stand in a header as it is: printable ASCII and blanks only, and
// nothing that a reader would take for the start of an encoded word.
bool IsPlainText(std::string_view text);

// text as an RFC 5322 quoted string: quotes and backslashes escaped.
std::string QuotedString(std::string_view text);

// One piece of a header field's value. A fold may go in before a breakable piece; a fold
// before a piece without a blank adds one, which only structured fields may take.
struct HeaderPiece {
  std::string text;
  bool blankBefore = true;
  bool breakable = true;
};

// "name:" and the pieces, folded before breakable pieces so that lines stay within
// kFoldAt where the pieces allow it.
std::string FoldedField(std::string_view name, const std::vector<HeaderPiece>& pieces);

// A field of free text (Subject, X-Mailer): the text itself when it is plain and fits on
// one line, else folded encoded words. The result follows "name: ".
std::string UnstructuredValue(std::string_view name, std::string_view text);

// The From line: "From: " name "<" address ">" as before for a plain name; a name with
// specials goes out quoted, any other as encoded words.
std::string FromField(std::string_view name, std::string_view address);

// An address list field (To, CC, Reply-To): the entries joined by "," on one line when
// none needs encoding and the line fits; else each display name quoted or encoded, a
// blank after each comma, and the list folded there. The result follows "name: ".
std::string AddressListValue(std::string_view name, const std::vector<std::string>& entries);

// The header lines of an attachment part (without the delimiter and the empty line),
// each ending with CR LF. A plain name goes in name= and filename= as a quoted string;
// any other as RFC 2231 (filename*=) with encoded words in name= for older readers.
std::string AttachmentPartHeader(std::string_view fileName, std::string_view transferEncoding);

// The Date text of RFC 5322 for a local time and its offset east of UTC in seconds,
// with English names whatever the locale.
std::string DateText(const std::tm& local, long offsetSeconds);
// The same for a moment, in the local time zone.
std::string DateText(std::time_t now);

// A fresh "<random@domain>" with 128 bits from the system's random source; the domain is
// that of the sender address, or "localhost" when it has none that a Message-ID can take.
std::string NewMessageId(std::string_view fromAddress);

}  // namespace mime
