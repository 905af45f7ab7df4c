#include "MailDate.h"

#include <array>
#include <cctype>
#include <string>
#include <vector>

namespace mime {

namespace {

// A word of the field once comments and blanks are gone: letters, digits, or one of the
// separators , : + -.
struct Token {
  enum Kind { Word, Number, Mark } kind;
  std::string text;
};

bool isAlpha(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Skips a comment starting at value[i] == '(' (nested, with quoted pairs); false when it
// never closes.
bool skipComment(std::string_view value, size_t& i) {
  int depth = 0;
  for (; i < value.size(); ++i) {
    if (value[i] == '\\') {
      ++i;
    } else if (value[i] == '(') {
      ++depth;
    } else if (value[i] == ')' && --depth == 0) {
      ++i;
      return true;
    }
  }
  return false;
}

std::optional<std::vector<Token>> tokenize(std::string_view value) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < value.size()) {
    const char c = value[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '(') {
      if (!skipComment(value, i)) return std::nullopt;
    } else if (c == ',' || c == ':' || c == '+' || c == '-') {
      tokens.push_back({Token::Mark, std::string(1, c)});
      ++i;
    } else if (isAlpha(c) || isDigit(c)) {
      const bool digits = isDigit(c);
      const size_t start = i;
      while (i < value.size() && (digits ? isDigit(value[i]) : isAlpha(value[i]))) ++i;
      tokens.push_back({digits ? Token::Number : Token::Word, std::string(value.substr(start, i - start))});
    } else {
      return std::nullopt;
    }
  }
  return tokens;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

constexpr std::array<const char*, 12> kMonths{"jan", "feb", "mar", "apr", "may", "jun",
                                              "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::array<const char*, 7> kDays{"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

// Minutes east of UTC of an obsolete zone name. Military letters and names nobody agrees
// on carry no offset that can be trusted: RFC 5322 reads them as -0000.
int zoneMinutes(const std::string& name) {
  struct Zone {
    const char* name;
    int hours;
  };
  static constexpr Zone kZones[] = {{"ut", 0},   {"gmt", 0},  {"est", -5}, {"edt", -4}, {"cst", -6},
                                    {"cdt", -5}, {"mst", -7}, {"mdt", -6}, {"pst", -8}, {"pdt", -7}};
  for (const Zone& zone : kZones)
    if (name == zone.name) return zone.hours * 60;
  return 0;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

unsigned daysInMonth(std::int64_t year, unsigned month) {
  static constexpr unsigned kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kLengths[month - 1];
}

class Reader {
 public:
  explicit Reader(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  bool atEnd() const { return at_ == tokens_.size(); }
  bool mark(char c) {
    if (atEnd() || tokens_[at_].kind != Token::Mark || tokens_[at_].text[0] != c) return false;
    ++at_;
    return true;
  }
  // A number of minDigits to maxDigits digits.
  std::optional<int> number(size_t minDigits, size_t maxDigits) {
    if (atEnd() || tokens_[at_].kind != Token::Number) return std::nullopt;
    const std::string& text = tokens_[at_].text;
    if (text.size() < minDigits || text.size() > maxDigits) return std::nullopt;
    ++at_;
    lastDigits_ = text.size();
    return std::stoi(text);
  }
  // How many digits the last number had.
  size_t lastDigits() const { return lastDigits_; }
  std::optional<std::string> word() {
    if (atEnd() || tokens_[at_].kind != Token::Word) return std::nullopt;
    return lower(tokens_[at_++].text);
  }
  std::optional<std::string> peekWord() const {
    if (atEnd() || tokens_[at_].kind != Token::Word) return std::nullopt;
    return lower(tokens_[at_].text);
  }

 private:
  std::vector<Token> tokens_;
  size_t at_ = 0;
  size_t lastDigits_ = 0;
};

template <size_t N>
int indexOf(const std::array<const char*, N>& names, const std::string& name) {
  for (size_t i = 0; i < N; ++i)
    if (name == names[i]) return static_cast<int>(i);
  return -1;
}

// The zone after the time, in minutes east of UTC; a missing zone reads as UTC.
std::optional<int> readZone(Reader& in) {
  if (in.atEnd()) return 0;
  if (auto name = in.word()) return zoneMinutes(*name);
  const bool west = in.mark('-');
  if (!west && !in.mark('+')) return std::nullopt;
  const auto digits = in.number(4, 4);
  if (!digits || *digits % 100 > 59) return std::nullopt;
  const int minutes = *digits / 100 * 60 + *digits % 100;
  return west ? -minutes : minutes;
}

}  // namespace

std::optional<std::int64_t> ParseMailDate(std::string_view value) {
  auto tokens = tokenize(value);
  if (!tokens) return std::nullopt;
  Reader in(std::move(*tokens));
  if (auto name = in.peekWord(); name && indexOf(kDays, name->substr(0, 3)) >= 0) {
    in.word();
    in.mark(',');
  }
  const auto day = in.number(1, 2);
  const auto monthName = in.word();
  auto year = in.number(2, 4);
  if (!day || !monthName || !year) return std::nullopt;
  const int month = indexOf(kMonths, *monthName) + 1;
  if (month == 0) return std::nullopt;
  // Two-digit years run from 1950 to 2049, three-digit ones count from 1900.
  if (in.lastDigits() == 2) *year += *year < 50 ? 2000 : 1900;
  if (in.lastDigits() == 3) *year += 1900;
  if (*year < 1900) return std::nullopt;

  const auto hour = in.number(1, 2);
  if (!hour || !in.mark(':')) return std::nullopt;
  const auto minute = in.number(1, 2);
  std::optional<int> second = 0;
  if (in.mark(':')) second = in.number(1, 2);
  const auto zone = readZone(in);
  if (!minute || !second || !zone || !in.atEnd()) return std::nullopt;
  if (*day < 1 || static_cast<unsigned>(*day) > daysInMonth(*year, static_cast<unsigned>(month)) || *hour > 23 ||
      *minute > 59 || *second > 60)
    return std::nullopt;
  // A leap second is the last second of its minute to a clock that has none.
  const int seconds = *second == 60 ? 59 : *second;
  return daysFromCivil(*year, static_cast<unsigned>(month), static_cast<unsigned>(*day)) * 86400 + *hour * 3600 +
         *minute * 60 + seconds - static_cast<std::int64_t>(*zone) * 60;
}

}  // namespace mime
