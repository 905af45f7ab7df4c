#include "HeaderEncoding.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Charsets.h"
#include "EncodedWords.h"
#include "Exceptions.h"

namespace mime {
namespace {

// Letters and digits of ASCII only, whatever the locale says of other bytes.
bool isAsciiAlnum(unsigned char c) {
  return c < 128 && std::isalnum(c) != 0;
}

bool isAtext(unsigned char c) {
  return isAsciiAlnum(c) || (c != 0 && c < 128 && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

// Words of atext and blanks: a display name that needs no quoting.
bool isAtomPhrase(std::string_view text) {
  if (text.find("=?") != std::string_view::npos) return false;
  for (unsigned char c : text)
    if (c != ' ' && (c > 127 || !isAtext(c))) return false;
  return true;
}

bool isPrintable(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// A quoted string already as RFC 5322 writes it: the quotes around, every inner quote
// and backslash escaped.
bool isQuotedString(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '"') return false;
    if (text[i] == '\\' && ++i + 1 >= text.size()) return false;
  }
  return true;
}

std::string unquoted(std::string_view text) {
  std::string out;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\\') ++i;
    out += text[i];
  }
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::vector<HeaderPiece> wordPieces(std::string_view text) {
  std::vector<HeaderPiece> pieces;
  for (std::string& word : EncodedWords(text)) pieces.push_back({std::move(word)});
  return pieces;
}

std::string valueOf(std::string_view name, const std::string& field) {
  return field.substr(name.size() + 2);
}

// The pieces of one address list entry, and whether its display name had to change.
std::vector<HeaderPiece> entryPieces(std::string_view entry, bool& changed) {
  const size_t lt = entry.find('<');
  if (lt == std::string_view::npos) return {{std::string(entry)}};
  const std::string_view name = trimmed(entry.substr(0, lt));
  const std::string_view rest = entry.substr(lt);
  const bool plainQuoted = isQuotedString(name) && isPrintable(name);
  if (name.empty() || isAtomPhrase(name) || plainQuoted) return {{std::string(entry)}};
  changed = true;
  if (IsPlainText(name)) return {{QuotedString(name) + " " + std::string(rest)}};
  std::vector<HeaderPiece> pieces = wordPieces(isQuotedString(name) ? unquoted(name) : std::string(name));
  pieces.push_back({std::string(rest)});
  return pieces;
}

// RFC 2231 attr-chars: what a parameter value may carry without percent-encoding.
bool isAttrChar(unsigned char c) {
  return isAsciiAlnum(c) || (c != 0 && c < 128 && std::strchr("!#$&+-.^_`|~", c) != nullptr);
}

// The percent-encoded form of text, one entry per character, so that a continuation
// never cuts one apart (some readers decode each continuation on its own).
std::vector<std::string> percentEncodedCharacters(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    const size_t n = CharacterLength(text);
    std::string encoded;
    for (unsigned char c : text.substr(0, n)) {
      if (isAttrChar(c)) {
        encoded += static_cast<char>(c);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        encoded += hex;
      }
    }
    out.push_back(std::move(encoded));
    text.remove_prefix(n);
  }
  return out;
}

// filename*=UTF-8''... on one line when it fits, else numbered continuations.
std::vector<HeaderPiece> filenamePieces(std::string_view fileName) {
  const std::vector<std::string> characters = percentEncodedCharacters(fileName);
  std::string whole;
  for (const std::string& c : characters) whole += c;
  const std::string single = "filename*=UTF-8''" + whole;
  if (1 + single.size() <= kFoldAt) return {{single}};
  std::vector<HeaderPiece> pieces;
  std::string current;
  auto start = [&] {
    current = "filename*" + std::to_string(pieces.size()) + "*=" + (pieces.empty() ? "UTF-8''" : "");
  };
  start();
  size_t used = 0;
  for (const std::string& c : characters) {
    // A blank before, ";" after.
    if (used > 0 && 1 + current.size() + c.size() + 1 > kFoldAt) {
      pieces.push_back({current + ";"});
      start();
      used = 0;
    }
    current += c;
    ++used;
  }
  pieces.push_back({current});
  return pieces;
}

void randomBytes(unsigned char* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::getrandom(buffer + done, count - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (done == count) return;
  // Without getrandom (an old kernel) the device still gives the same randomness.
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && done < count) {
    const ssize_t n = ::read(fd, buffer + done, count - done);
    if (n <= 0 && !(n < 0 && errno == EINTR)) break;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  if (done < count) throw Exception("Cannot read the system's random source");
}

bool isDotAtom(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.' || text.find("..") != std::string_view::npos)
    return false;
  for (unsigned char c : text)
    if (c != '.' && (c > 127 || !isAtext(c))) return false;
  return true;
}

bool isDomainLiteral(std::string_view text) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
  for (unsigned char c : text.substr(1, text.size() - 2))
    if (c < 33 || c > 126 || c == '[' || c == ']' || c == '\\') return false;
  return true;
}

std::string messageIdDomain(std::string_view address) {
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos) return "localhost";
  std::string_view domain = address.substr(at + 1);
  // "ann@example.org>" or "ann@example.org (home)": the domain ends where its text does.
  if (!domain.empty() && domain.front() == '[') {
    domain = domain.substr(0, domain.find(']') + 1);
    return isDomainLiteral(domain) ? std::string(domain) : "localhost";
  }
  size_t end = 0;
  while (end < domain.size() && (domain[end] == '.' || (static_cast<unsigned char>(domain[end]) < 128 &&
                                                        isAtext(static_cast<unsigned char>(domain[end])))))
    ++end;
  domain = domain.substr(0, end);
  return isDotAtom(domain) ? std::string(domain) : "localhost";
}

}  // namespace

bool IsPlainText(std::string_view text) {
  if (text.find("=?") != std::string_view::npos) return false;
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\t') || c > 0x7E) return false;
  return true;
}

std::string QuotedString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string FoldedField(std::string_view name, const std::vector<HeaderPiece>& pieces) {
  std::string out = std::string(name) + ":";
  size_t lineLength = out.size();
  bool first = true;
  for (const HeaderPiece& piece : pieces) {
    const size_t length = (piece.blankBefore ? 1 : 0) + piece.text.size();
    if (!first && piece.breakable && lineLength + length > kFoldAt) {
      out += "\r\n ";
      lineLength = 1;
    } else if (piece.blankBefore) {
      out += ' ';
      ++lineLength;
    }
    out += piece.text;
    lineLength += piece.text.size();
    first = false;
  }
  return out;
}

std::string UnstructuredValue(std::string_view name, std::string_view text) {
  if (IsPlainText(text) && name.size() + 2 + text.size() <= kMaxLine) return std::string(text);
  if (text.empty()) return {};
  return valueOf(name, FoldedField(name, wordPieces(text)));
}

std::string FromField(std::string_view name, std::string_view address) {
  const std::string mailbox = "<" + std::string(address) + ">";
  if (isAtomPhrase(name) && 6 + name.size() + mailbox.size() <= kMaxLine) return "From: " + std::string(name) + mailbox;
  if (IsPlainText(name)) {
    std::string line = "From: " + QuotedString(name) + mailbox;
    if (line.size() <= kMaxLine) return line;
  }
  std::vector<HeaderPiece> pieces = wordPieces(name);
  pieces.push_back({mailbox});
  return FoldedField("From", pieces);
}

std::string AddressListValue(std::string_view name, const std::vector<std::string>& entries) {
  bool changed = false;
  std::vector<std::vector<HeaderPiece>> perEntry;
  std::string compact;
  for (const std::string& entry : entries) {
    perEntry.push_back(entryPieces(entry, changed));
    if (perEntry.size() > 1) compact += ',';
    compact += entry;
  }
  if (!changed && name.size() + 2 + compact.size() <= kMaxLine) return compact;
  std::vector<HeaderPiece> pieces;
  for (size_t i = 0; i < perEntry.size(); ++i) {
    // A blank after each comma: encoded words must stand apart from the specials around.
    std::vector<HeaderPiece>& entry = perEntry[i];
    if (i + 1 < perEntry.size()) entry.back().text += ',';
    pieces.insert(pieces.end(), entry.begin(), entry.end());
  }
  return valueOf(name, FoldedField(name, pieces));
}

std::string AttachmentPartHeader(std::string_view fileName, std::string_view transferEncoding) {
  const std::string encoding = "Content-Transfer-Encoding: " + std::string(transferEncoding) + "\r\n";
  const std::string quoted = QuotedString(fileName);
  // The longer of the two lines has 58 characters before the name.
  if (isPrintable(fileName) && fileName.find("=?") == std::string_view::npos && 58 + quoted.size() <= kMaxLine)
    return "Content-Type: application/octet-stream;          name=" + quoted + "\r\n" + encoding +
           "Content-Disposition: attachment;                 filename=" + quoted + "\r\n";
  std::vector<HeaderPiece> name{{"application/octet-stream;", true, false}};
  for (std::string& word : EncodedWords(fileName)) name.push_back({std::move(word)});
  name[1].text = "name=\"" + name[1].text;
  name.back().text += '"';
  std::vector<HeaderPiece> disposition{{"attachment;", true, false}};
  for (HeaderPiece& piece : filenamePieces(fileName)) disposition.push_back(std::move(piece));
  return FoldedField("Content-Type", name) + "\r\n" + encoding + FoldedField("Content-Disposition", disposition) +
         "\r\n";
}

std::string DateText(const std::tm& local, long offsetSeconds) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[(local.tm_wday % 7 + 7) % 7],
                local.tm_mday, kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, offsetSeconds < 0 ? '-' : '+', minutes / 60 % 100, minutes % 60);
  return text;
}

std::string DateText(std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  return DateText(local, local.tm_gmtoff);
}

std::string NewMessageId(std::string_view fromAddress) {
  unsigned char bytes[16];
  randomBytes(bytes, sizeof bytes);
  std::string id = "<";
  for (unsigned char b : bytes) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    id += hex;
  }
  return id + "@" + messageIdDomain(fromAddress) + ">";
}

}  // namespace mime
