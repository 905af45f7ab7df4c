#include "MessageReader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <utility>

#include "Base64Stream.h"
#include "Exceptions.h"
#include "FileSync.h"
#include "RawMessageSink.h"
#include "MimeHeader.h"
#include "MimeText.h"
#include "Streams.h"
#include "SysUtils.h"
#include "ZnUUE.h"

namespace {

// Room for a "_n" suffix below the file system's 255-byte limit on names.
constexpr size_t kMaxNameBytes = 200;
// A folder holding this many files of one name is not one we keep filling.
constexpr int kMaxNameSuffix = 100000;
// Text kept from a multipart message whose boundary never shows, to show it as text.
constexpr size_t kPreambleLimit = 8 << 20;
// Multiparts nested deeper than this are read as one part.
constexpr size_t kMaxNesting = 100;
// Decoded text of a body converted to lines at once; a longer one goes in pieces of this size.
constexpr size_t kTextPiece = 4 << 20;
// The same for HTML, whose conversion takes far more time and memory per byte.
constexpr size_t kHtmlPiece = 1 << 20;
// The start of an embedded message held back to name its file after its subject.
constexpr size_t kEmbeddedHeadLimit = 64 * 1024;

const char* const kTempFileName = "Temp.mme";
const char* const kDefaultFileName = "text.tmp";

std::string withoutLineEnd(const std::string& line) {
  if (line.ends_with("\r\n")) return line.substr(0, line.size() - 2);
  if (line.ends_with('\n')) return line.substr(0, line.size() - 1);
  return line;
}

// A line source that is a function returning one line at a time.
class FunctionLines : public TLineInput {
 public:
  explicit FunctionLines(const TMessageReader::TLineSource& source) : source_(source) {}
  void ReadLine(std::string& line) override { line = source_(); }

 private:
  const TMessageReader::TLineSource& source_;
};

std::string_view lineEndOf(std::string_view line) {
  if (line.ends_with("\r\n")) return "\r\n";
  if (line.ends_with('\n')) return "\n";
  return {};
}

// "--boundary" or "--boundary--", with nothing but blanks after it.
bool isDelimiter(const std::string& line, const std::string& boundary, bool& closing) {
  if (line.size() < boundary.size() + 2 || line[0] != '-' || line[1] != '-') return false;
  if (line.compare(2, boundary.size(), boundary) != 0) return false;
  std::string_view rest(line);
  rest.remove_prefix(boundary.size() + 2);
  closing = rest.starts_with("--");
  if (closing) rest.remove_prefix(2);
  return rest.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// Any directory entry counts, a dangling symbolic link included, so a new file never
// lands on something that is already there.
bool entryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

enum class Coding { Identity, Base64, QuotedPrintable, UUEncode };

Coding codingOf(const std::string& encoding) {
  if (encoding == "base64") return Coding::Base64;
  if (encoding == "quoted-printable") return Coding::QuotedPrintable;
  if (encoding == "x-uuencode" || encoding == "x-uue" || encoding == "uuencode" || encoding == "x-uuencoded")
    return Coding::UUEncode;
  return Coding::Identity;
}

// Points the coder at two streams for one decode and lets go of them afterwards.
class CoderStreams {
 public:
  CoderStreams(TZnUUProcessor& coder, TStream& in, TStream& out) : coder_(coder) {
    coder_.InputStream = &in;
    coder_.OutputStream = &out;
  }
  ~CoderStreams() {
    coder_.InputStream = nullptr;
    coder_.OutputStream = nullptr;
  }
  CoderStreams(const CoderStreams&) = delete;
  CoderStreams& operator=(const CoderStreams&) = delete;

 private:
  TZnUUProcessor& coder_;
};

std::string uuDecoded(TZnUUProcessor& coder, const std::string& coded) {
  TMemoryStream in, out;
  in.SetData(coded);
  const CoderStreams streams(coder, in, out);
  coder.Method = uuCode;
  if (in.Size() > 0) coder.Decode();
  return out.Data();
}

// The raw content of a part decoded by its transfer encoding. The line end before the
// delimiter is not in raw.
std::string decodedContent(TZnUUProcessor& coder, const std::string& raw, const std::string& encoding) {
  switch (codingOf(encoding)) {
    case Coding::Base64:
      return mime::DecodeBase64(raw);
    case Coding::QuotedPrintable:
      return mime::DecodeQuotedPrintable(raw);
    case Coding::UUEncode:
      return uuDecoded(coder, raw + "\r\n");
    case Coding::Identity:
      break;
  }
  return raw;
}

bool tagAt(std::string_view html, size_t at, std::string_view name) {
  if (html.size() - at < name.size() + 2) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(html[at + 1 + i])) != name[i]) return false;
  const char next = html[at + 1 + name.size()];
  return next == '>' || next == '/' || std::isspace(static_cast<unsigned char>(next));
}

// Where a long HTML text can be cut into pieces converted one by one: before the last tag
// that starts a block of its own, outside comments, scripts and styles, within the first
// limit bytes; failing that after the last tag or line; failing that at limit.
size_t htmlCut(std::string_view html, size_t limit) {
  static constexpr std::string_view kBlocks[] = {"p", "div", "br", "tr", "li", "table", "h1", "h2", "h3",
                                                 "h4", "h5", "h6", "hr", "blockquote", "pre", "ul", "ol"};
  size_t cut = 0;
  for (size_t at = html.find('<'); at < limit; at = html.find('<', at + 1)) {
    // What a comment, script or style holds is not markup: no cut inside it.
    if (html.substr(at).starts_with("<!--")) {
      at = html.find("-->", at + 4);
      if (at == std::string_view::npos) break;
      continue;
    }
    if (tagAt(html, at, "script") || tagAt(html, at, "style")) {
      const std::string_view name = tagAt(html, at, "script") ? "script" : "style";
      // "</name", read as a tag whose first character is the slash.
      do at = html.find("</", at + 1);
      while (at != std::string_view::npos && !tagAt(html, at + 1, name));
      if (at == std::string_view::npos) break;
      continue;
    }
    for (const std::string_view name : kBlocks)
      if (tagAt(html, at, name)) cut = at;
  }
  if (cut > 0) return cut;
  const std::string_view head = html.substr(0, limit);
  if (const size_t tagEnd = head.rfind('>'); tagEnd != std::string_view::npos) return tagEnd + 1;
  if (const size_t lineEnd = head.rfind('\n'); lineEnd != std::string_view::npos) return lineEnd + 1;
  return limit;
}

}  // namespace

// One attachment part on its way to disk, decoded as its lines arrive. The line end before
// a delimiter belongs to the delimiter, so each line end is held back until the next line
// shows that the part goes on. A part that does not finish leaves no file behind.
class TMessageReader::PartWriter {
 public:
  PartWriter(TMessageReader& reader, Coding coding, std::string name, bool nameFromSubject)
      : reader_(reader), coding_(coding), name_(std::move(name)), nameFromSubject_(nameFromSubject) {
    if (coding_ == Coding::UUEncode) {
      // The uuencode decoder works on a whole file (and says when the end line is missing).
      tempPath_ = reader_.AttachFilePath + kTempFileName;
      std::remove(tempPath_.c_str());
      temp_ = std::make_unique<TFileStream>(tempPath_, TFileStream::fmCreate);
    }
    if (!nameFromSubject_) open();
  }
  ~PartWriter() {
    writeback_.reset();
    temp_.reset();
    if (!tempPath_.empty()) std::remove(tempPath_.c_str());
    if (out_ && !finished_) {
      out_.reset();
      std::remove(target_.c_str());
    }
  }
  PartWriter(const PartWriter&) = delete;
  PartWriter& operator=(const PartWriter&) = delete;

  void Add(std::string_view line) {
    const std::string_view end = lineEndOf(line);
    const std::string_view content = line.substr(0, line.size() - end.size());
    switch (coding_) {
      case Coding::Identity:
        write(heldEnd_);
        write(content);
        heldEnd_ = end;
        break;
      case Coding::Base64:
        decode(content);
        break;
      case Coding::QuotedPrintable: {
        bool soft = false;
        const std::string bytes = mime::DecodeQuotedPrintableLine(content, soft);
        write(heldEnd_);
        write(bytes);
        heldEnd_ = soft ? std::string() : std::string("\r\n");
        break;
      }
      case Coding::UUEncode:
        temp_->WriteString(line);
        break;
    }
  }

  // Whole lines, each with its line end, as if added one by one.
  void AddLines(std::string_view lines) {
    switch (coding_) {
      case Coding::Base64:
        // Line ends are no base64 characters: the decoder steps over them.
        decode(lines);
        return;
      case Coding::UUEncode:
        temp_->WriteString(lines);
        return;
      case Coding::Identity:
        // Until an embedded message's header is in, its name is not known.
        if (!out_) break;
        write(heldEnd_);
        heldEnd_ = lineEndOf(lines);
        write(lines.substr(0, lines.size() - heldEnd_.size()));
        return;
      case Coding::QuotedPrintable:
        break;
    }
    while (!lines.empty()) {
      const size_t end = lines.find('\n') + 1;
      Add(lines.substr(0, end));
      lines.remove_prefix(end);
    }
  }

  // atMessageEnd: the part ran to the end of the message, whose last line end is its own.
  const std::string& Finish(bool atMessageEnd) {
    if (atMessageEnd) write(heldEnd_);
    if (coding_ == Coding::Base64) {
      std::string bytes;
      base64_.Finish(bytes);
      write(bytes);
    }
    if (!out_) open();
    if (coding_ != Coding::Identity) reader_.status("Decoding file");
    if (coding_ == Coding::UUEncode) {
      temp_->Flush();
      temp_.reset();
      TFileStream in(tempPath_, TFileStream::fmOpenRead);
      const CoderStreams streams(reader_.coder_, in, *out_);
      reader_.coder_.Method = uuCode;
      if (in.Size() > 0) reader_.coder_.Decode();
    }
    out_->Flush();
    writeback_.reset();
    out_.reset();
    finished_ = true;
    return name_;
  }

 private:
  void decode(std::string_view coded) {
    const size_t room = TBase64Stream::MaxDecoded(coded.size());
    // Grown, never shrunk: resizing within the capacity would clear the bytes again.
    if (decoded_.size() < room) decoded_.resize(room);
    write(std::string_view(decoded_.data(), base64_.Feed(coded, decoded_.data())));
  }

  void write(std::string_view bytes) {
    if (bytes.empty()) return;
    if (!out_) {
      head_ += bytes;
      if (head_.size() >= kEmbeddedHeadLimit || head_.find("\r\n\r\n") != std::string::npos ||
          head_.find("\n\n") != std::string::npos)
        open();
      return;
    }
    out_->WriteString(bytes);
    written_ += static_cast<long long>(bytes.size());
    writeback_->Grown(written_);
  }

  // An embedded message is named after its subject once its header is in.
  void open() {
    if (nameFromSubject_) {
      mime::EntityHeader header;
      size_t start = 0;
      while (start < head_.size()) {
        size_t end = head_.find('\n', start);
        if (end == std::string::npos) break;
        std::string line = withoutLineEnd(head_.substr(start, end + 1 - start));
        if (line.empty()) break;
        header.AddLine(line);
        start = end + 1;
      }
      std::string subject;
      if (const std::string* value = header.Field("Subject")) subject = corvane::Trim(mime::DecodeEncodedWords(*value));
      name_ = (subject.empty() ? std::string("message") : subject.substr(0, kMaxNameBytes - 4)) + ".eml";
    }
    name_ = reader_.uniqueFileName(PlainFileName(name_));
    target_ = reader_.AttachFilePath + name_;
    out_ = std::make_unique<TFileStream>(target_, TFileStream::fmCreate);
    writeback_ = std::make_unique<corvane::EarlyWriteback>(-1, target_);
    written_ = static_cast<long long>(head_.size());
    if (!head_.empty()) out_->WriteString(head_);
    head_.clear();
  }

  TMessageReader& reader_;
  Coding coding_;
  std::string name_;
  bool nameFromSubject_;
  std::string target_;
  std::string tempPath_;
  std::unique_ptr<TFileStream> temp_;
  std::unique_ptr<TFileStream> out_;
  std::unique_ptr<corvane::EarlyWriteback> writeback_;
  long long written_ = 0;
  std::string heldEnd_;
  std::string head_;
  std::string decoded_;
  TBase64Stream base64_;
  bool finished_ = false;
};

TMessageReader::TMessageReader(TMailMessage& message, TZnUUProcessor& coder) : message_(message), coder_(coder) {}

TMessageReader::~TMessageReader() = default;

void TMessageReader::Reset() {
  pushedBack_.reset();
  boundaries_.clear();
  groups_.clear();
  skipping_ = 0;
  bodyTaken_ = false;
  bodyIsHtml_ = false;
  bodyGroup_ = -1;
  bodyAt_ = 0;
  bodyLines_ = 0;
  firstTopField_.fill(kNoField);
}

void TMessageReader::Read(const TLineSource& ReadLine) {
  FunctionLines input(ReadLine);
  Read(input);
}

void TMessageReader::Read(TLineInput& Input) {
  // Only used during this call, and never reset: a failed read can unwind over a reader
  // that went away with its owner inside the wait for a line.
  input_ = &Input;
  ended_ = false;
  Reset();
  message_.Header.Clear();
  message_.Body.Clear();
  message_.Attachments.Clear();
  message_.Subject.clear();
  message_.From.clear();
  message_.MessageId.clear();
  // The local copy is for the failure path, which can unwind over a reader that is gone.
  TRawMessageSink* const sink = RawSink;
  sink_ = sink;
  sinkError_ = nullptr;
  try {
    try {
      if (sink_) keepRaw([this] { sink_->BeginMessage(); });
      readMessage();
    } catch (const ESockError&) {
      throw;
    } catch (...) {
      // A file that could not be written ends the retrieval, but the connection must stay
      // in step with the server: the rest of the message is read and dropped first.
      drainToEnd();
      throw;
    }
    // Whatever a malformed message left unread belongs to it, not to the next reply.
    drainToEnd();
    if (sinkError_) std::rethrow_exception(sinkError_);
    if (sink) sink->EndMessage();
  } catch (...) {
    // Only a message that was read whole, and kept whole, counts as received.
    if (sink) sink->AbandonMessage();
    throw;
  }
}

// A failing archive ends the retrieval once the message is read, never in its middle.
void TMessageReader::keepRaw(const std::function<void()>& step) {
  if (sinkError_) return;
  try {
    step();
  } catch (...) {
    sinkError_ = std::current_exception();
  }
}

bool TMessageReader::nextLine(std::string& line) {
  if (pushedBack_) {
    line = std::move(*pushedBack_);
    pushedBack_.reset();
    return true;
  }
  if (ended_) return false;
  input_->ReadLine(line);
  if (line == ".\r\n" || line == ".\n") {
    ended_ = true;
    return false;
  }
  // The server doubled the leading dot of this line; the sender wrote one.
  if (line.starts_with("..")) line.erase(0, 1);
  if (sink_) keepRaw([&] { sink_->Line(line); });
  return true;
}

template <typename Take>
bool TMessageReader::plainLines(Take&& take) {
  if (pushedBack_ || ended_) return false;
  const std::string_view lines = input_->Buffered();
  // A line that begins with a dot may end the message or lose its first dot; one that
  // begins with a hyphen may be a delimiter. Both go the way of single lines.
  size_t run = 0;
  while (run < lines.size() && lines[run] != '.' && lines[run] != '-') run = lines.find('\n', run) + 1;
  if (run == 0) return false;
  const std::string_view plain = lines.substr(0, run);
  // Taken also when a write below fails: the lines must not come round a second time.
  struct Taken {
    TLineInput& input;
    size_t count;
    ~Taken() { input.Take(count); }
  } taken{*input_, run};
  if (sink_) keepRaw([&] { sink_->Lines(plain); });
  take(plain);
  return true;
}

bool TMessageReader::contentLine(std::string& line, Stop& stop) {
  if (!nextLine(line)) {
    stop = Stop{Stop::End, 0};
    return false;
  }
  if (line.starts_with("--")) {
    for (size_t level = boundaries_.size(); level-- > 0;) {
      bool closing = false;
      if (isDelimiter(line, boundaries_[level], closing)) {
        stop = Stop{closing ? Stop::Close : Stop::Delimiter, level};
        return false;
      }
    }
  }
  return true;
}

void TMessageReader::drainToEnd() {
  std::string line;
  while (nextLine(line)) {
  }
}

void TMessageReader::readMessage() {
  mime::EntityHeader header;
  Stop stop;
  const bool hasBody = readHeader(header, true, stop);
  header.Interpret();
  if (!hasBody) return;
  readEntity(header);
}

void TMessageReader::topField(const mime::EntityHeader& header) {
  // Kept up to date line by line, so that a retrieval cut short still shows what came.
  const auto* last = header.LastField();
  if (!last) return;
  const std::string& name = last->first;
  static constexpr std::string_view kNames[] = {"From", "Subject", "Message-ID"};
  size_t k = 0;
  while (k < std::size(kNames) && !corvane::SameTextAscii(name, kNames[k])) ++k;
  if (k == std::size(kNames)) return;
  // Only the first field of a name counts; remembering where it is keeps a header of
  // any length one step a line.
  const size_t at = header.FieldCount() - 1;
  if (firstTopField_[k] == kNoField) firstTopField_[k] = at;
  if (firstTopField_[k] != at) return;
  if (k == 0) message_.From = corvane::Trim(mime::DecodeEncodedWords(last->second));
  // The value keeps the blank that follows the colon, as the store's readers expect.
  if (k == 1) message_.Subject = corvane::TrimRight(mime::DecodeEncodedWords(last->second));
  if (k == 2) message_.MessageId = corvane::Trim(last->second);
}

bool TMessageReader::readHeader(mime::EntityHeader& header, bool top, Stop& stop) {
  std::string line;
  size_t keptBytes = 0;
  while (contentLine(line, stop)) {
    std::string text = withoutLineEnd(line);
    // An mbox envelope line that a server left in front of the header is no field.
    const bool envelope = top && message_.Header.Count() == 0 && text.starts_with("From ");
    // A header without its empty line ends where a line cannot be a header line.
    if (!envelope && !text.empty() && !mime::EntityHeader::LooksLikeHeaderLine(text)) {
      pushedBack_ = std::move(line);
      return true;
    }
    // Past the limit the header lines are not kept; the raw archive has them.
    if (top && (text.empty() || keptBytes < mime::kHeaderLimit)) {
      keptBytes += text.size();
      message_.Header.Add(text);
    }
    if (text.empty()) return true;
    if (!envelope) header.AddLine(text);
    if (top) topField(header);
  }
  return false;
}

TMessageReader::Stop TMessageReader::readEntity(const mime::EntityHeader& header) {
  // Each level of multipart is a call deeper; one nested past any real mail's depth is read
  // as a single part, so that no message can exhaust the stack.
  if (header.IsMultipart() && boundaries_.size() < kMaxNesting) return readMultipart(header);
  return readLeaf(header);
}

TMessageReader::Stop TMessageReader::readMultipart(const mime::EntityHeader& header) {
  boundaries_.push_back(header.Boundary());
  groups_.push_back(Group{header.subtype == "alternative", false});
  const size_t level = boundaries_.size() - 1;
  const auto close = [&] {
    boundaries_.resize(level);
    groups_.resize(level);
  };

  // The preamble; kept in case the boundary never shows and it is all there is.
  std::vector<std::string> preamble;
  size_t preambleBytes = 0;
  Stop stop;
  std::string line;
  while (contentLine(line, stop)) {
    preambleBytes += line.size();
    if (preambleBytes <= kPreambleLimit) preamble.push_back(std::move(line));
  }
  if (stop.kind == Stop::End || stop.level < level) {
    close();
    mime::EntityHeader text;
    text.Interpret();
    if (!bodyTaken_ && skipping_ == 0) {
      std::string raw;
      for (const std::string& kept : preamble) raw += kept;
      setBodyText(std::move(raw), header);
      return stop;
    }
    if (skipping_ == 0) readFilePart(text, &preamble, stop);
    return stop;
  }
  preamble.clear();

  const std::string defaultType = header.subtype == "digest" ? "message/rfc822" : "text/plain";
  while (stop.kind == Stop::Delimiter && stop.level == level) {
    mime::EntityHeader part;
    Stop inHeader;
    const bool hasBody = readHeader(part, false, inHeader);
    part.Interpret(defaultType);
    if (!hasBody) {
      // A part that ends inside its header has no content and leaves nothing.
      stop = inHeader;
      continue;
    }
    // A copy: a nested multipart grows groups_, which moves its elements.
    const Group group = groups_[level];
    const bool upgrade = group.alternative && bodyIsHtml_ && bodyGroup_ == static_cast<int>(level) &&
                         part.type == "text" && part.subtype == "plain" && part.FileName().empty();
    const bool skip = group.alternative && group.taken && !upgrade;
    if (skip) ++skipping_;
    stop = readEntity(part);
    if (skip) --skipping_;
    if (group.alternative) groups_[level].taken = true;
  }
  if (stop.kind == Stop::Close && stop.level == level) {
    // The epilogue; this boundary no longer counts, outer ones do.
    close();
    std::string epilogue;
    while (contentLine(epilogue, stop)) {
    }
    return stop;
  }
  close();
  return stop;
}

TMessageReader::Stop TMessageReader::readLeaf(const mime::EntityHeader& header) {
  if (skipping_ > 0) return skipContent();
  // A multipart type without a boundary gives nothing to split at: it is text.
  const bool text =
      (header.type == "text" && (header.subtype == "plain" || header.subtype == "html")) || header.type == "multipart";
  const bool inline_ = header.disposition != "attachment" && header.FileName().empty();
  if (text && inline_) {
    const bool upgrade = bodyIsHtml_ && header.subtype == "plain" && !groups_.empty() && groups_.back().alternative &&
                         bodyGroup_ == static_cast<int>(groups_.size() - 1);
    if (!bodyTaken_ || upgrade) {
      status("Extracting file");
      return readBodyPart(header);
    }
  }
  return readFilePart(header, nullptr, {});
}

TMessageReader::Stop TMessageReader::skipContent() {
  Stop stop;
  std::string line;
  while (contentLine(line, stop)) {
  }
  return stop;
}

TMessageReader::Stop TMessageReader::readBodyPart(const mime::EntityHeader& header) {
  bodyGroup_ = -1;
  for (size_t g = groups_.size(); g-- > 0;) {
    if (groups_[g].alternative) {
      bodyGroup_ = static_cast<int>(g);
      break;
    }
  }
  Stop stop;
  std::string line;
  const std::string charset = corvane::LowerCase(header.Charset());
  const bool wide = charset.starts_with("utf-16") || charset.starts_with("utf-32") || charset.starts_with("ucs");
  if (header.subtype == "plain" && codingOf(header.encoding) == Coding::Identity && !wide) {
    // Most mail: plain text as it came, each line shown as it arrives.
    if (!bodyTaken_) bodyAt_ = message_.Body.Count();
    bodyTaken_ = true;
    bodyIsHtml_ = false;
    message_.Body.Delete(bodyAt_, std::exchange(bodyLines_, 0));
    // An empty last line is only the line end that belongs to the delimiter.
    std::optional<std::string> held;
    while (contentLine(line, stop)) {
      if (held) message_.Body.Insert(bodyAt_ + bodyLines_++, *held);
      held = mime::ToUtf8(std::string_view(line).substr(0, line.size() - lineEndOf(line).size()), charset);
    }
    if (held && (stop.kind == Stop::End || !held->empty()))
      message_.Body.Insert(bodyAt_ + bodyLines_++, *held);
    return stop;
  }
  if (codingOf(header.encoding) != Coding::UUEncode && !wide) return readTextPart(header, charset);
  std::string raw;
  std::string heldEnd;
  while (contentLine(line, stop)) {
    raw += heldEnd;
    heldEnd = lineEndOf(line);
    raw.append(line, 0, line.size() - heldEnd.size());
  }
  if (stop.kind == Stop::End) raw += heldEnd;
  setBodyText(std::move(raw), header);
  return stop;
}

TMessageReader::Stop TMessageReader::readTextPart(const mime::EntityHeader& header, std::string charset) {
  const Coding coding = codingOf(header.encoding);
  const bool html = header.type == "text" && header.subtype == "html";
  if (!bodyTaken_) bodyAt_ = message_.Body.Count();
  bodyTaken_ = true;
  bodyIsHtml_ = html;
  message_.Body.Delete(bodyAt_, std::exchange(bodyLines_, 0));
  mime::Base64Decoder base64;
  mime::QuotedPrintableDecoder qp;
  std::string decoded;
  size_t wholeLines = 0;  // decoded bytes up to the last line feed
  // Decodes the part's bytes as a whole would be: each line end goes in only once the
  // next line shows that it is not the delimiter's.
  const auto feed = [&](std::string_view bytes) {
    const size_t before = decoded.size();
    if (coding == Coding::QuotedPrintable)
      qp.Feed(bytes, decoded);
    else if (coding == Coding::Base64)
      base64.Feed(bytes, decoded);
    else
      decoded += bytes;
    const size_t feedAt = std::string_view(decoded).substr(before).rfind('\n');
    if (feedAt != std::string_view::npos) wholeLines = before + feedAt + 1;
  };
  // The text becomes body lines in pieces, so that a very long one never lies in memory
  // in more than one form and the window is not kept waiting while it is converted; a
  // shorter one is converted whole.
  bool metaRead = !charset.empty();
  const auto convert = [&](size_t cut) {
    const std::string_view piece = std::string_view(decoded).substr(0, cut);
    std::string text;
    if (html) {
      if (!metaRead) charset = mime::HtmlMetaCharset(piece);
      metaRead = true;
      text = mime::HtmlToText(mime::ToUtf8(piece, charset));
      // What the markup leaves at the end is layout, not text.
      while (text.ends_with('\n')) text.pop_back();
    } else {
      text = mime::ToUtf8(piece, charset);
    }
    for (const std::string_view line : TLineList::FromText(text)) message_.Body.Insert(bodyAt_ + bodyLines_++, line);
    decoded.erase(0, cut);
    wholeLines -= std::min(wholeLines, cut);
  };
  Stop stop;
  std::string line;
  std::string heldEnd;
  while (contentLine(line, stop)) {
    feed(heldEnd);
    heldEnd = lineEndOf(line);
    feed(std::string_view(line).substr(0, line.size() - heldEnd.size()));
    if (html && decoded.size() >= kHtmlPiece)
      convert(htmlCut(decoded, kHtmlPiece));
    else if (!html && wholeLines >= kTextPiece)
      convert(wholeLines);
  }
  if (stop.kind == Stop::End) feed(heldEnd);
  if (coding == Coding::QuotedPrintable) qp.Finish(decoded);
  if (coding == Coding::Base64) base64.Finish(decoded);
  if (!decoded.empty()) convert(decoded.size());
  return stop;
}

void TMessageReader::setBodyText(std::string raw, const mime::EntityHeader& header) {
  if (!bodyTaken_) bodyAt_ = message_.Body.Count();
  bodyTaken_ = true;
  bodyIsHtml_ = header.type == "text" && header.subtype == "html";
  // Each form of the text is let go as soon as the next is made: a body can be very large.
  std::string text = decodedContent(coder_, raw, header.encoding);
  raw = std::string();
  std::string charset = header.Charset();
  if (bodyIsHtml_) {
    if (charset.empty()) charset = mime::HtmlMetaCharset(text);
    text = mime::HtmlToText(mime::ToUtf8(text, charset));
    // What the markup leaves at the end is layout, not text.
    while (text.ends_with('\n')) text.pop_back();
  } else {
    text = mime::ToUtf8(text, charset);
  }
  TLineList lines = TLineList::FromText(text);
  text = std::string();
  // The lines go in at once, so that a failure later in the message leaves them shown; a
  // plain alternative that follows an HTML one takes its place.
  message_.Body.Delete(bodyAt_, std::exchange(bodyLines_, 0));
  bodyLines_ = lines.Count();
  if (message_.Body.Empty()) {
    message_.Body = std::move(lines);
    return;
  }
  for (int i = 0; i < lines.Count(); ++i) message_.Body.Insert(bodyAt_ + i, lines[i]);
}

TMessageReader::Stop TMessageReader::readFilePart(const mime::EntityHeader& header,
                                                  const std::vector<std::string>* keptLines, Stop keptStop) {
  const std::string given = header.FileName();
  const bool embedded = header.IsMessage() && given.empty();
  PartWriter writer(*this, codingOf(header.encoding), given.empty() ? kDefaultFileName : given, embedded);
  message_.Body.Add("\r\nFile \"" + given + "\" extracted");
  status("Extracting file");
  Stop stop = keptStop;
  if (keptLines) {
    for (const std::string& line : *keptLines) writer.Add(line);
  } else {
    std::string line;
    for (;;) {
      if (plainLines([&writer](std::string_view lines) { writer.AddLines(lines); })) continue;
      if (!contentLine(line, stop)) break;
      writer.Add(line);
    }
  }
  message_.Attachments.Add(writer.Finish(stop.kind == Stop::End));
  return stop;
}

std::string TMessageReader::PlainFileName(const std::string& name) {
  const size_t cut = name.find_last_of("/\\");
  std::string plain;
  // Control characters (C0, DEL and the C1 range as UTF-8) could rewrite a terminal or
  // hide part of the name.
  for (size_t i = cut == std::string::npos ? 0 : cut + 1; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F) continue;
    if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(name[i + 1]) < 0xA0) {
      ++i;
      continue;
    }
    plain += static_cast<char>(c);
  }
  if (plain.empty() || plain == "." || plain == "..") return kDefaultFileName;
  // File systems refuse names past 255 bytes; keep the start and the extension, and never
  // cut a character in two.
  if (plain.size() > kMaxNameBytes) {
    const size_t dot = plain.rfind('.');
    const std::string ext = dot != std::string::npos && plain.size() - dot <= 16 ? plain.substr(dot) : "";
    size_t keep = kMaxNameBytes - ext.size();
    while (keep > 0 && (static_cast<unsigned char>(plain[keep]) & 0xC0) == 0x80) --keep;
    plain = plain.substr(0, keep) + ext;
  }
  return plain;
}

bool TMessageReader::taken(const std::string& name) const {
  if (corvane::SameTextAscii(name, kTempFileName)) return true;
  for (const std::string& reserved : ReservedFileNames)
    if (corvane::SameTextAscii(reserved, name)) return true;
  return entryExists(AttachFilePath + name);
}

std::string TMessageReader::uniqueFileName(const std::string& name) {
  if (!taken(name)) return name;
  const size_t firstDot = name.find('.');
  const std::string base = name.substr(0, firstDot);
  std::string ext;
  if (firstDot != std::string::npos) {
    const size_t secondDot = name.find('.', firstDot + 1);
    ext = name.substr(firstDot + 1, secondDot == std::string::npos ? std::string::npos : secondDot - firstDot - 1);
  }
  // Every number below the last one handed out was taken then; starting after it gives
  // the first free number while the folder only grows, in one look-up per part.
  int& last = lastSuffix_[AttachFilePath + '\0' + base + '\0' + ext];
  // A file removed since then (by the user, between sessions) makes the count start over.
  if (last > 0 && !taken(base + "_" + std::to_string(last) + "." + ext)) last = 0;
  for (int n = last + 1; n <= kMaxNameSuffix; ++n) {
    std::string candidate = base + "_" + std::to_string(n) + "." + ext;
    if (!taken(candidate)) {
      last = n;
      return candidate;
    }
  }
  throw EFCreateError(corvane::Format("Cannot create file %s", (AttachFilePath + name).c_str()));
}

void TMessageReader::status(const std::string& text) {
  Fire(OnStatus, text);
}
