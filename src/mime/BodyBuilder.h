#pragma once
// The text of a received message as the user reads it: the part shown as the message's
// text, as UTF-8 lines (charsets converted, quoted-printable and base64 decoded, HTML as
// its text without markup), and a notice for every file written from the message.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "EntityHeader.h"
#include "LineList.h"
#include "PartContent.h"

namespace mime {

class BodyBuilder {
 public:
  explicit BodyBuilder(TLineList& body);
  ~BodyBuilder();
  BodyBuilder(const BodyBuilder&) = delete;
  BodyBuilder& operator=(const BodyBuilder&) = delete;

  // What the uudecoder tells the user about a uuencoded text, such as " No end line.".
  std::function<void(std::string_view Text)> OnNotice;

  // Back to the state before a message; the body itself is the owner's to clear.
  void Reset();

  // The first inline text/plain or text/html part is shown; in a multipart/alternative the
  // plain one, which takes the place of an HTML one shown before it.
  bool Shows(const EntityHeader& header, const PartPlace& place) const;
  // A later alternative of the multipart at level that is shown in place of the text
  // shown from it, though the alternatives after the first are not read.
  bool ShowsInstead(const EntityHeader& part, size_t level) const;
  // A multipart whose boundary never shows is its preamble: shown when nothing is yet.
  bool ShowsPreamble(const PartPlace& place) const;

  // The receiver of a shown part's content.
  PartContent& Text(const EntityHeader& header, const PartPlace& place);
  // A multipart's preamble, the whole of it, shown as its text.
  void Preamble(std::string raw, const EntityHeader& header);
  // The notice for a part written to a file, in message order, under the name its header
  // gave it (or the folder gave an inline image without one).
  void FileNotice(const std::string& name);

 private:
  class LineText;
  class WholeText;
  class CodedText;

  // Where the shown text goes: the lines of an earlier one are taken out.
  void begin(bool html);
  void insert(std::string_view line) { body_.Insert(bodyAt_ + bodyLines_++, line); }
  void setText(std::string raw, const EntityHeader& header);

  TLineList& body_;
  std::unique_ptr<PartContent> text_;
  bool taken_ = false;
  bool html_ = false;
  int group_ = -1;  // the alternative group the text came from
  int bodyAt_ = 0;  // where the text's lines go among the notices
  int bodyLines_ = 0;
};

}  // namespace mime
