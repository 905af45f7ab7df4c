#include "EntityHeader.h"

#include <cctype>

#include "Charsets.h"
#include "EncodedWords.h"
#include "QuotedPrintable.h"
#include "SysUtils.h"

namespace mime {

namespace {

// Unfolded fields beyond this are cut: a hostile header must not grow without bound.
constexpr size_t kFieldLimit = 64 * 1024;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string percentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A reader over a structured field: tokens, quoted strings and comments.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool AtEnd() {
    skipBlanksAndComments();
    return pos_ >= text_.size();
  }
  bool Take(char c) {
    skipBlanksAndComments();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  // Characters up to a blank or one of stops.
  std::string Token(std::string_view stops) {
    skipBlanksAndComments();
    const size_t start = pos_;
    while (pos_ < text_.size() && !isBlank(text_[pos_]) && stops.find(text_[pos_]) == std::string_view::npos) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }
  // A quoted string (without its quotes, escapes undone) or a token up to ';'. Mailers
  // put blanks into unquoted names, so a value runs up to the next ';'.
  std::string Value() {
    skipBlanksAndComments();
    if (pos_ < text_.size() && text_[pos_] == '"') {
      ++pos_;
      std::string out;
      while (pos_ < text_.size() && text_[pos_] != '"') {
        // Only a quote and a backslash are taken as escaped: mailers put Windows paths
        // into quotes as they are.
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size() && (text_[pos_ + 1] == '"' || text_[pos_ + 1] == '\\'))
          ++pos_;
        out += text_[pos_++];
      }
      if (pos_ < text_.size()) ++pos_;
      return out;
    }
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ';') ++pos_;
    std::string_view value = text_.substr(start, pos_ - start);
    while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
    return std::string(value);
  }
  // Skips to just after the next ';' (or the end).
  void SkipParameter() {
    while (pos_ < text_.size() && text_[pos_] != ';') {
      if (text_[pos_] == '"') {
        Value();
        continue;
      }
      ++pos_;
    }
  }

 private:
  void skipBlanksAndComments() {
    while (pos_ < text_.size()) {
      if (isBlank(text_[pos_])) {
        ++pos_;
      } else if (text_[pos_] == '(') {
        int depth = 0;
        while (pos_ < text_.size()) {
          const char c = text_[pos_++];
          if (c == '\\' && pos_ < text_.size()) {
            ++pos_;
          } else if (c == '(') {
            ++depth;
          } else if (c == ')' && --depth == 0) {
            break;
          }
        }
      } else {
        break;
      }
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
};

struct Section {
  bool extended = false;
  std::string value;
};

}  // namespace

std::string ParseStructured(std::string_view text, Parameters& parameters) {
  parameters.clear();
  Scanner scan(text);
  std::string token = corvane::LowerCase(scan.Token(";"));
  // "text / plain" is seen in the wild.
  if (scan.Take('/')) token += "/" + corvane::LowerCase(scan.Token(";"));
  std::map<std::string, std::map<int, Section>> sections;
  while (!scan.AtEnd()) {
    if (!scan.Take(';')) {
      scan.SkipParameter();
      continue;
    }
    if (scan.AtEnd()) break;
    std::string name = corvane::LowerCase(scan.Token(";="));
    if (!scan.Take('=')) continue;
    std::string value = scan.Value();
    if (name.empty()) continue;
    // name*, name*0, name*0*: RFC 2231 sections; a trailing '*' marks charset'lang'%xx.
    const size_t star = name.find('*');
    if (star == std::string::npos) {
      if (!parameters.contains(name)) parameters[name] = Parameter{std::move(value), {}, false};
      continue;
    }
    const std::string base = name.substr(0, star);
    std::string rest = name.substr(star + 1);
    Section section;
    section.extended = rest.ends_with('*') || rest.empty();
    if (rest.ends_with('*')) rest.pop_back();
    int index = 0;
    if (!rest.empty()) {
      for (char c : rest) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || index > 9999) {
          index = -1;
          break;
        }
        index = index * 10 + (c - '0');
      }
    }
    if (index < 0) continue;
    section.value = std::move(value);
    sections[base].emplace(index, std::move(section));
  }
  for (auto& [base, parts] : sections) {
    Parameter parameter;
    parameter.extended = true;
    int expected = 0;
    for (auto& [index, section] : parts) {
      if (index != expected++) break;  // a missing section ends the value
      std::string_view value = section.value;
      if (section.extended && index == 0) {
        // charset'language'encoded text
        const size_t q1 = value.find('\'');
        const size_t q2 = q1 == std::string_view::npos ? q1 : value.find('\'', q1 + 1);
        if (q2 != std::string_view::npos) {
          parameter.charset = std::string(value.substr(0, q1));
          value = value.substr(q2 + 1);
        }
      }
      parameter.value += section.extended ? percentDecoded(value) : std::string(value);
    }
    // The RFC 2231 form is the better one where a mailer sends both.
    parameters[base] = std::move(parameter);
  }
  return token;
}

std::string ParameterText(const Parameters& parameters, const std::string& name) {
  const auto it = parameters.find(name);
  if (it == parameters.end()) return {};
  const Parameter& parameter = it->second;
  if (parameter.extended) return ToUtf8(parameter.value, parameter.charset);
  return DecodeEncodedWords(parameter.value);
}

bool EntityHeader::LooksLikeHeaderLine(std::string_view line) {
  if (line.empty()) return false;
  if (line[0] == ' ' || line[0] == '\t') return true;
  const size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (size_t i = 0; i < colon; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    // Field names are printable ASCII without blanks; a blank before the colon is seen
    // in old mail and tolerated.
    if (c < 33 || c > 126) {
      if (c == ' ' || c == '\t') {
        if (line.substr(i).find_first_not_of(" \t") != colon - i) return false;
        break;
      }
      return false;
    }
  }
  return true;
}

void EntityHeader::AddLine(const std::string& line) {
  // Past the limit a header is no mail's but a flood: the rest is not kept.
  if (line.empty() || bytes_ >= kHeaderLimit) return;
  bytes_ += line.size();
  if (line[0] == ' ' || line[0] == '\t') {
    if (!fields_.empty() && fields_.back().second.size() < kFieldLimit) fields_.back().second += line;
    return;
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  std::string name = line.substr(0, colon);
  while (!name.empty() && isBlank(name.back())) name.pop_back();
  fields_.emplace_back(std::move(name), line.substr(colon + 1, kFieldLimit));
}

const std::string* EntityHeader::Field(std::string_view name) const {
  for (const auto& [fieldName, value] : fields_)
    if (corvane::SameTextAscii(fieldName, name)) return &value;
  return nullptr;
}

void EntityHeader::Interpret(const std::string& defaultType) {
  std::string full = defaultType;
  typeParameters.clear();
  if (const std::string* value = Field("Content-Type")) {
    const std::string given = ParseStructured(*value, typeParameters);
    // A type without a subtype is no type; the parameters still count (a charset).
    if (given.find('/') != std::string::npos && given.back() != '/' && given.front() != '/') full = given;
  }
  const size_t slash = full.find('/');
  type = full.substr(0, slash);
  subtype = full.substr(slash + 1);

  disposition.clear();
  dispositionParameters.clear();
  if (const std::string* value = Field("Content-Disposition"))
    disposition = ParseStructured(*value, dispositionParameters);

  encoding.clear();
  if (const std::string* value = Field("Content-Transfer-Encoding")) {
    Parameters ignored;
    encoding = ParseStructured(*value, ignored);
  }
}

Coding EntityHeader::TransferCoding() const {
  if (encoding == "base64") return Coding::Base64;
  if (encoding == "quoted-printable") return Coding::QuotedPrintable;
  if (encoding == "x-uuencode" || encoding == "x-uue" || encoding == "uuencode" || encoding == "x-uuencoded")
    return Coding::UUEncode;
  return Coding::Identity;
}

std::string EntityHeader::Boundary() const {
  const auto it = typeParameters.find("boundary");
  return it == typeParameters.end() ? std::string() : it->second.value;
}

std::string EntityHeader::Charset() const {
  const auto it = typeParameters.find("charset");
  return it == typeParameters.end() ? std::string() : corvane::Trim(it->second.value);
}

std::string EntityHeader::FileName() const {
  std::string name = ParameterText(dispositionParameters, "filename");
  if (name.empty()) name = ParameterText(typeParameters, "name");
  return name;
}

}  // namespace mime
