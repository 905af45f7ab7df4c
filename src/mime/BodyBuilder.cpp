#include "BodyBuilder.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "Base64.h"
#include "Charsets.h"
#include "CodedStreams.h"
#include "DecodingCheck.h"
#include "HtmlText.h"
#include "QuotedPrintable.h"
#include "SysUtils.h"

namespace mime {
namespace {

// Decoded text of a body converted to lines at once; a longer one goes in pieces of this size.
constexpr size_t kTextPiece = 4 << 20;
// The same for HTML, whose conversion takes far more time and memory per byte.
constexpr size_t kHtmlPiece = 1 << 20;

bool isHtml(const EntityHeader& header) {
  return header.type == "text" && header.subtype == "html";
}

bool isWide(const std::string& charset) {
  return charset.starts_with("utf-16") || charset.starts_with("utf-32") || charset.starts_with("ucs");
}

// What the markup leaves at the end is layout, not text.
std::string htmlText(std::string_view html, const std::string& charset) {
  std::string text = HtmlToText(ToUtf8(html, charset));
  while (text.ends_with('\n')) text.pop_back();
  return text;
}

}  // namespace

// Most mail: plain text as it came, each line shown as it arrives.
class BodyBuilder::LineText : public PartContent {
 public:
  LineText(BodyBuilder& body, std::string charset) : body_(body), charset_(std::move(charset)) { body_.begin(false); }
  void Line(std::string_view line) override {
    if (held_) body_.insert(*held_);
    held_ = ToUtf8(corvane::WithoutLineEnd(line), charset_);
  }
  void End(bool atMessageEnd) override {
    // An empty last line is only the line end that belongs to the delimiter.
    if (held_ && (atMessageEnd || !held_->empty())) body_.insert(*held_);
  }

 private:
  BodyBuilder& body_;
  std::string charset_;
  std::optional<std::string> held_;
};

// Text that is converted only once it is complete: uuencoded, or in a charset of more than
// one byte a character.
class BodyBuilder::WholeText : public PartContent {
 public:
  WholeText(BodyBuilder& body, const EntityHeader& header) : body_(body), header_(header) {}
  void Line(std::string_view line) override {
    raw_ += heldEnd_;
    heldEnd_ = corvane::LineEndOf(line);
    raw_.append(corvane::WithoutLineEnd(line));
  }
  void End(bool atMessageEnd) override {
    if (atMessageEnd) raw_ += heldEnd_;
    body_.setText(std::move(raw_), header_);
  }

 private:
  BodyBuilder& body_;
  const EntityHeader header_;
  std::string raw_;
  std::string_view heldEnd_;
};

// A body part's text in any other transfer encoding, decoded and converted as it comes.
class BodyBuilder::CodedText : public PartContent {
 public:
  CodedText(BodyBuilder& body, const EntityHeader& header, std::string charset)
      : body_(body),
        coding_(header.TransferCoding()),
        html_(isHtml(header)),
        charset_(std::move(charset)),
        metaRead_(!charset_.empty()),
        judging_(coding_ == Coding::Base64 || coding_ == Coding::QuotedPrintable) {
    body_.begin(html_);
  }
  void Line(std::string_view line) override {
    feed(heldEnd_);
    heldEnd_ = corvane::LineEndOf(line);
    feed(corvane::WithoutLineEnd(line));
    if (judging_ && coded_.size() >= kDecodingSample) judge();
    if (judging_) return;
    if (html_ && decoded_.size() >= kHtmlPiece)
      convert(HtmlCut(decoded_, kHtmlPiece));
    else if (!html_ && wholeLines_ >= kTextPiece)
      convert(wholeLines_);
  }
  void End(bool atMessageEnd) override {
    if (atMessageEnd) feed(heldEnd_);
    if (coding_ == Coding::QuotedPrintable) qp_.Finish(decoded_);
    if (coding_ == Coding::Base64) base64_.Finish(decoded_);
    if (judging_) judge();
    if (!decoded_.empty()) convert(decoded_.size());
  }

 private:
  // Decided on the start of the part: one that is plainly not in its coding is shown as it
  // came, from its first byte, under a note.
  void judge() {
    judging_ = false;
    if (FailsItsDecoding(coding_, coded_, decoded_, charset_)) {
      body_.insert(UndecodedNote(coding_));
      coding_ = Coding::Identity;
      decoded_ = std::move(coded_);
      const size_t lastFeed = decoded_.rfind('\n');
      wholeLines_ = lastFeed == std::string::npos ? 0 : lastFeed + 1;
    }
    coded_ = std::string();
  }
  // Decodes the part's bytes as a whole would be: each line end goes in only once the
  // next line shows that it is not the delimiter's.
  void feed(std::string_view bytes) {
    if (judging_) coded_ += bytes;
    const size_t before = decoded_.size();
    if (coding_ == Coding::QuotedPrintable)
      qp_.Feed(bytes, decoded_);
    else if (coding_ == Coding::Base64)
      base64_.Feed(bytes, decoded_);
    else
      decoded_ += bytes;
    const size_t feedAt = std::string_view(decoded_).substr(before).rfind('\n');
    if (feedAt != std::string_view::npos) wholeLines_ = before + feedAt + 1;
  }
  // The text becomes body lines in pieces, so that a very long one never lies in memory in
  // more than one form and the window is not kept waiting while it is converted; a shorter
  // one is converted whole.
  void convert(size_t cut) {
    const std::string_view piece = std::string_view(decoded_).substr(0, cut);
    std::string text;
    if (html_) {
      if (!metaRead_) charset_ = HtmlMetaCharset(piece);
      metaRead_ = true;
      text = htmlText(piece, charset_);
    } else {
      text = ToUtf8(piece, charset_);
    }
    for (const std::string_view line : TLineList::FromText(text)) body_.insert(line);
    decoded_.erase(0, cut);
    wholeLines_ -= std::min(wholeLines_, cut);
  }

  BodyBuilder& body_;
  Coding coding_;
  bool html_;
  std::string charset_;
  bool metaRead_;
  bool judging_;
  std::string coded_;  // the part as it came, until it is judged
  TBase64Stream base64_;
  QuotedPrintableDecoder qp_;
  std::string decoded_;
  size_t wholeLines_ = 0;  // decoded bytes up to the last line feed
  std::string_view heldEnd_;
};

BodyBuilder::BodyBuilder(TLineList& body) : body_(body) {}

BodyBuilder::~BodyBuilder() = default;

void BodyBuilder::Reset() {
  text_.reset();
  taken_ = false;
  html_ = false;
  group_ = -1;
  bodyAt_ = 0;
  bodyLines_ = 0;
}

bool BodyBuilder::Shows(const EntityHeader& header, const PartPlace& place) const {
  if (place.hidden) return false;
  // A multipart type without a boundary gives nothing to split at: it is text.
  const bool text =
      (header.type == "text" && (header.subtype == "plain" || header.subtype == "html")) || header.type == "multipart";
  const bool inline_ = header.disposition != "attachment" && header.FileName().empty();
  if (!text || !inline_) return false;
  const bool instead =
      html_ && header.subtype == "plain" && place.inAlternative && group_ == static_cast<int>(place.depth) - 1;
  return !taken_ || instead;
}

bool BodyBuilder::ShowsInstead(const EntityHeader& part, size_t level) const {
  return html_ && group_ == static_cast<int>(level) && part.type == "text" && part.subtype == "plain" &&
         part.FileName().empty();
}

bool BodyBuilder::ShowsPreamble(const PartPlace& place) const {
  return !taken_ && !place.hidden;
}

PartContent& BodyBuilder::Text(const EntityHeader& header, const PartPlace& place) {
  group_ = place.alternative;
  const std::string charset = corvane::LowerCase(header.Charset());
  const Coding coding = header.TransferCoding();
  if (header.subtype == "plain" && coding == Coding::Identity && !isWide(charset))
    text_ = std::make_unique<LineText>(*this, charset);
  else if (coding != Coding::UUEncode && !isWide(charset))
    text_ = std::make_unique<CodedText>(*this, header, charset);
  else
    text_ = std::make_unique<WholeText>(*this, header);
  return *text_;
}

void BodyBuilder::Preamble(std::string raw, const EntityHeader& header) {
  setText(std::move(raw), header);
}

void BodyBuilder::FileNotice(const std::string& name) {
  body_.Add("\r\nFile \"" + name + "\" extracted");
}

void BodyBuilder::begin(bool html) {
  if (!taken_) bodyAt_ = body_.Count();
  taken_ = true;
  html_ = html;
  body_.Delete(bodyAt_, std::exchange(bodyLines_, 0));
}

void BodyBuilder::setText(std::string raw, const EntityHeader& header) {
  if (!taken_) bodyAt_ = body_.Count();
  taken_ = true;
  html_ = isHtml(header);
  // Each form of the text is let go as soon as the next is made: a body can be very large.
  std::string text;
  const Coding coding = header.TransferCoding();
  switch (coding) {
    case Coding::Base64:
      text = DecodeBase64(raw);
      break;
    case Coding::QuotedPrintable:
      text = DecodeQuotedPrintable(raw);
      break;
    case Coding::UUEncode:
      text = DecodeUUText(raw + "\r\n", OnNotice);
      break;
    case Coding::Identity:
      text = std::move(raw);
      break;
  }
  std::string charset = header.Charset();
  const bool undecoded = FailsItsDecoding(coding, raw, text, charset);
  if (undecoded) {
    // Text in a charset of two or four bytes a character is full of zero bytes; one
    // without them never was in it.
    if (isWide(corvane::LowerCase(charset)) && raw.find('\0') == std::string::npos) charset.clear();
    text = std::move(raw);
  }
  raw = std::string();
  if (html_) {
    if (charset.empty()) charset = HtmlMetaCharset(text);
    text = htmlText(text, charset);
  } else {
    text = ToUtf8(text, charset);
  }
  TLineList lines = TLineList::FromText(text);
  text = std::string();
  if (undecoded) lines.Insert(0, UndecodedNote(coding));
  // The lines go in at once, so that a failure later in the message leaves them shown; a
  // plain alternative that follows an HTML one takes its place.
  body_.Delete(bodyAt_, std::exchange(bodyLines_, 0));
  bodyLines_ = lines.Count();
  if (body_.Empty()) {
    body_ = std::move(lines);
    return;
  }
  for (int i = 0; i < lines.Count(); ++i) body_.Insert(bodyAt_ + i, lines[i]);
}

}  // namespace mime
