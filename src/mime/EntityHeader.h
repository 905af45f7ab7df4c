#pragma once
// The fields of a MIME entity's header: unfolded values, the content type with its
// parameters (RFC 2045 syntax with RFC 2231 continuations and charsets), the disposition
// and the transfer encoding. Names and tokens are compared without regard to case.
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace mime {

struct Parameter {
  std::string value;    // the bytes as given (quotes removed, percent codes decoded)
  std::string charset;  // from an RFC 2231 value, else empty
  bool extended = false;
};
using Parameters = std::map<std::string, Parameter>;  // names in lower case

// "token; name=value; ..." into the lower-cased token and its parameters.
std::string ParseStructured(std::string_view text, Parameters& parameters);

// A parameter as UTF-8 text: RFC 2231 charsets, RFC 2047 words inside quotes (which
// mailers send though the standard says not to) and raw 8-bit names all end up readable.
std::string ParameterText(const Parameters& parameters, const std::string& name);

// The most of a header that is kept, far above any real mail's.
inline constexpr size_t kHeaderLimit = 1 << 20;

// The transfer encodings a part's content is decoded from; any other is taken as it is.
enum class Coding { Identity, Base64, QuotedPrintable, UUEncode };

class EntityHeader {
 public:
  // Takes one header line without its line end; a line that begins with a blank or TAB
  // continues the field before it. Lines past kHeaderLimit bytes are dropped.
  void AddLine(const std::string& line);
  // Lines that can belong to a header: a field name and a colon, or a continuation.
  static bool LooksLikeHeaderLine(std::string_view line);
  // The unfolded value of the first field of that name (any case), or nullptr.
  const std::string* Field(std::string_view name) const;
  // The field the last line added to or began (name as given, value), or nullptr.
  const std::pair<std::string, std::string>* LastField() const { return fields_.empty() ? nullptr : &fields_.back(); }
  size_t FieldCount() const { return fields_.size(); }

  // The header's content, read once all lines are in. defaultType is what an entity
  // without a content type is ("text/plain", or "message/rfc822" inside a digest).
  void Interpret(const std::string& defaultType = "text/plain");

  std::string type;     // "text", "multipart", ... lower case
  std::string subtype;  // "plain", "mixed", ...
  Parameters typeParameters;
  std::string disposition;  // "inline", "attachment" or empty
  Parameters dispositionParameters;
  std::string encoding;  // "base64", "quoted-printable", "x-uuencode", "7bit" ... or empty

  Coding TransferCoding() const;
  std::string Boundary() const;
  std::string Charset() const;
  // The file name the header gives, as UTF-8: the disposition's filename, else the type's name.
  std::string FileName() const;
  bool IsMultipart() const { return type == "multipart" && !Boundary().empty(); }
  bool IsMessage() const { return type == "message" && (subtype == "rfc822" || subtype == "global"); }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;  // name as given, value unfolded
  size_t bytes_ = 0;                                         // of the lines taken
};

}  // namespace mime
