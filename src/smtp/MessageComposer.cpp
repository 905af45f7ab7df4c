#include "MessageComposer.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

#include "Exceptions.h"
#include "HeaderEncoding.h"
#include "QuotedPrintable.h"
#include "SysUtils.h"

namespace corvane::smtp {
namespace {

constexpr std::string_view kLineBreaks = "\r\n";

// Presents the end of another stream as the coder's output stream and dot-stuffs on the
// way: a coded line may begin with "." (uuencode's length character for 14 bytes), and
// the server would take it for the end of the message text. The coder only appends, so
// writes always go to the end; positions are kept for the coder's own bookkeeping.
class DotStuffingStream : public TStream {
 public:
  explicit DotStuffingStream(TStream& target) : target_(target) {}

  int64_t Read(void*, int64_t) override { return 0; }

  void Write(const void* buffer, int64_t count) override {
    const char* p = static_cast<const char*>(buffer);
    const char* const end = p + count;
    while (p < end) {
      if (atLineStart_ && *p == '.') target_.Write(".", 1);
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* const stop = lf ? lf + 1 : end;
      target_.Write(p, stop - p);
      atLineStart_ = lf != nullptr;
      p = stop;
    }
    if (count > 0) size_ += count;
    position_ = size_;
  }

  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    const int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? position_ : size_;
    position_ = std::max<int64_t>(0, std::min(size_, base + offset));
    return position_;
  }

  int64_t Size() const override { return size_; }
  void SetSize(int64_t) override {}

 private:
  TStream& target_;
  bool atLineStart_ = true;
  int64_t size_ = 0;
  int64_t position_ = 0;
};

std::string firstLine(std::string_view text) {
  return std::string(text.substr(0, text.find_first_of(kLineBreaks)));
}

bool hasLineBreak(std::string_view text) {
  return text.find_first_of(kLineBreaks) != std::string_view::npos;
}

void checkField(std::string_view text, const char* what) {
  if (hasLineBreak(text)) throw Exception(std::string("Line break not allowed in ") + what);
}

void checkEntries(const TStringList& list, const char* what) {
  for (const std::string& entry : list.Items())
    if (hasLineBreak(entry))
      throw Exception(Format("Line break not allowed in %s \"%s\"", what, firstLine(entry).c_str()));
}

// The format without its time-zone conversions: the boundary carries the time of day only.
std::string withoutZone(std::string_view format) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      out += format[i];
      continue;
    }
    size_t j = i + 1;
    if ((format[j] == 'E' || format[j] == 'O') && j + 1 < format.size()) ++j;
    if (format[j] != 'Z' && format[j] != 'z') out.append(format.substr(i, j - i + 1));
    i = j;
  }
  return out;
}

std::string collapseBlanks(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// What RFC 2046 allows in a boundary, which is at most 70 characters long with the text
// around the time.
bool fitsBoundary(std::string_view text) {
  if (text.empty() || text.size() > 70 - kBoundaryPrefix.size() - 4) return false;
  for (unsigned char c : text)
    if (c > 127 || (!std::isalnum(c) && (c == 0 || !std::strchr("'()+_,-./:=? ", c)))) return false;
  return true;
}

std::string formatTime(const std::tm& time, const std::string& format, locale_t locale) {
  char buffer[256];
  const size_t n = strftime_l(buffer, sizeof buffer, format.c_str(), &time, locale);
  return std::string(buffer, n);
}

std::string longTime(const std::tm& time, const char* format, locale_t locale) {
  const std::string text = collapseBlanks(formatTime(time, withoutZone(format), locale));
  return fitsBoundary(text) ? text : formatTime(time, "%H:%M:%S", locale);
}

struct LocaleHandle {
  explicit LocaleHandle(const char* name) : handle(newlocale(LC_TIME_MASK, name, locale_t{})) {}
  ~LocaleHandle() {
    if (handle) freelocale(handle);
  }
  LocaleHandle(const LocaleHandle&) = delete;
  LocaleHandle& operator=(const LocaleHandle&) = delete;
  locale_t handle;
};

void appendLine(TStream& out, std::string_view line) {
  if (!line.empty() && line.front() == '.') out.WriteString(".");
  out.WriteString(line);
  out.WriteString("\r\n");
}

// One entry of the body is one line; a line break inside an entry starts a new line, so
// that every line that reaches the wire is dot-stuffed and ends with CR LF.
void splitBodyEntry(std::string_view entry, std::vector<std::string_view>& lines) {
  size_t start = 0;
  for (;;) {
    const size_t br = entry.find_first_of(kLineBreaks, start);
    if (br == std::string_view::npos) {
      if (start < entry.size() || start == 0) lines.push_back(entry.substr(start));
      return;
    }
    lines.push_back(entry.substr(start, br - start));
    start = br + (entry.compare(br, 2, "\r\n") == 0 ? 2 : 1);
  }
}

std::vector<std::string_view> bodyLines(const TStringList& body) {
  std::vector<std::string_view> lines;
  for (const std::string& entry : body.Items()) splitBodyEntry(entry, lines);
  return lines;
}

// Plain 7-bit text goes out as it is; anything else quoted-printable: non-ASCII bytes,
// NULs, a line too long for the wire once dot-stuffed, or a line a multipart reader
// would take for the boundary.
bool needsQuotedPrintable(const std::vector<std::string_view>& lines, const std::string& delimiter) {
  for (std::string_view line : lines) {
    const size_t stuffed = line.size() + (!line.empty() && line.front() == '.' ? 1 : 0);
    if (stuffed > mime::kMaxLine) return true;
    if (!delimiter.empty() && line.starts_with(delimiter)) return true;
    for (unsigned char c : line)
      if (c == 0 || c > 127) return true;
  }
  return false;
}

constexpr std::string_view kUtf8ContentType = "Content-Type: text/plain;                        charset=utf-8";
constexpr std::string_view kQuotedPrintable = "Content-Transfer-Encoding: quoted-printable";

std::string textPartHeader(bool quotedPrintable) {
  if (!quotedPrintable) return std::string(kTextContentType);
  return std::string(kUtf8ContentType) + "\r\n" + std::string(kQuotedPrintable);
}

void appendText(TStream& out, const std::vector<std::string_view>& lines, bool quotedPrintable) {
  for (std::string_view line : lines) {
    if (!quotedPrintable) {
      appendLine(out, line);
      continue;
    }
    for (const std::string& coded : mime::QuotedPrintableLines(line)) appendLine(out, coded);
  }
}

std::unique_ptr<TFileStream> openAttachment(const std::string& path) {
  // Only a plain file: a folder cannot be read, and a pipe or device could block or never end.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) throw EFOpenError("Cannot open file " + path);
  return std::make_unique<TFileStream>(path, TFileStream::fmOpenRead);
}

std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// The name in a uuencode "begin" line, which stays 7-bit and on one line.
std::string beginLineName(std::string_view name) {
  std::string out;
  for (unsigned char c : name) out += c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '_';
  return out.empty() ? "attachment" : out;
}

void appendAttachment(const std::string& path, UUMethods method, const std::string& boundary,
                      const CompositionEvents& events, TStream& body) {
  const std::string name = AttachmentName(path);
  // Readers decode uuencoded parts only under their own label and between "begin" and "end".
  const bool uu = method == uuCode;
  body.WriteString("--" + boundary + "\r\n" + mime::AttachmentPartHeader(name, uu ? "x-uuencode" : "base64") + "\r\n");
  std::unique_ptr<TFileStream> input;
  try {
    input = openAttachment(path);
  } catch (const EFOpenError&) {
    Fire(events.OnAttachmentNotFound, path);
    throw;
  }
  DotStuffingStream output(body);
  TZnUUProcessor coder;
  coder.Method = method;
  coder.InputStream = input.get();
  coder.OutputStream = &output;
  Fire(events.OnEncodeStart, path);
  if (uu) body.WriteString("begin 644 " + beginLineName(name) + "\r\n");
  coder.Encode();
  if (uu) body.WriteString("end\r\n");
  Fire(events.OnEncodeEnd, path);
}

// Every line of the header within the limit of the wire; a field that could not be folded
// (one address longer than a line) is refused rather than sent to be refused.
void checkLineLengths(const TStringList& header) {
  for (const std::string& field : header.Items()) {
    size_t start = 0;
    for (;;) {
      const size_t end = field.find("\r\n", start);
      if ((end == std::string::npos ? field.size() : end) - start > mime::kMaxLine)
        throw Exception(Format("Line too long in the %s header", field.substr(0, field.find(':')).c_str()));
      if (end == std::string::npos) break;
      start = end + 2;
    }
  }
}

// A list of message-ids as a header field, folded between the ids.
std::string idListField(std::string_view name, std::string_view ids) {
  std::vector<mime::HeaderPiece> pieces;
  for (size_t start = 0; start < ids.size();) {
    const size_t end = std::min(ids.find(' ', start), ids.size());
    if (end > start) pieces.push_back({std::string(ids.substr(start, end - start))});
    start = end + 1;
  }
  return mime::FoldedField(name, pieces);
}

}  // namespace

void CheckLineBreaks(const TPostMessage& message) {
  checkField(message.FromName, "the sender name");
  checkField(message.FromAddress, "the sender address");
  checkField(message.Subject, "the subject");
  checkField(message.LocalProgram, "the program name");
  checkField(message.ReplyTo, "Reply-To");
  checkField(message.Date, "Date");
  checkField(message.MessageID, "Message-ID");
  checkField(message.InReplyTo, "In-Reply-To");
  checkField(message.References, "References");
  checkEntries(message.ToAddress, "recipient");
  checkEntries(message.ToCarbonCopy, "recipient");
  checkEntries(message.ToBlindCarbonCopy, "recipient");
  for (const std::string& path : message.Attachments.Items())
    if (hasLineBreak(AttachmentName(path)))
      throw Exception(
          Format("Line break not allowed in attachment name \"%s\"", firstLine(AttachmentName(path)).c_str()));
}

std::string LongTimeText(const std::tm& time, const char* format) {
  LocaleHandle c("C");
  return longTime(time, format, c.handle);
}

std::string LongTimeText(std::time_t now) {
  std::tm time{};
  localtime_r(&now, &time);
  LocaleHandle user("");
  if (user.handle) return longTime(time, nl_langinfo_l(T_FMT, user.handle), user.handle);
  return LongTimeText(time, "%H:%M:%S");
}

std::string MakeBoundary(std::time_t now) {
  return std::string(kBoundaryPrefix) + LongTimeText(now) + "====";
}

std::string AttachmentName(std::string_view path) {
  const size_t sep = path.find_last_of("/\\");
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

std::string HeaderText(const TStringList& header) {
  return header.Text() + "\r\n\r\n";
}

void ComposeMessage(const TPostMessage& message, UUMethods method, std::time_t now, const CompositionEvents& events,
                    TExStringList& header, std::string& boundary, TStream& body) {
  CheckLineBreaks(message);
  header.Clear();
  header.Add(mime::FromField(message.FromName, message.FromAddress));
  if (message.ToAddress.Count() > 0) header.Add("To: " + mime::AddressListValue("To", message.ToAddress.Items()));
  if (message.ToCarbonCopy.Count() > 0) header.Add("CC: " + mime::AddressListValue("CC", message.ToCarbonCopy.Items()));
  header.SetHeader("Subject", mime::UnstructuredValue("Subject", message.Subject));
  header.SetHeader("X-Mailer", mime::UnstructuredValue("X-Mailer", message.LocalProgram));
  if (!message.ReplyTo.empty()) header.SetHeader("Reply-To", mime::AddressListValue("Reply-To", {message.ReplyTo}));
  header.SetHeader("Date", message.Date.empty() ? mime::DateText(now) : message.Date);
  header.SetHeader("Message-ID",
                   message.MessageID.empty() ? mime::NewMessageId(message.FromAddress) : message.MessageID);
  if (!message.InReplyTo.empty()) header.Add(idListField("In-Reply-To", message.InReplyTo));
  if (!message.References.empty()) header.Add(idListField("References", message.References));
  header.Add("Mime-Version: 1.0");

  const bool multipart = message.Attachments.Count() > 0;
  if (multipart) boundary = MakeBoundary(now);
  const std::vector<std::string_view> lines = bodyLines(message.Body);
  const bool quotedPrintable = needsQuotedPrintable(lines, multipart ? "--" + boundary : std::string());
  if (multipart) {
    header.Add("Content-Type: multipart/mixed;                   boundary=" + quoted(boundary));
  } else {
    header.Add(std::string(quotedPrintable ? kUtf8ContentType : kTextContentType));
    if (quotedPrintable) header.Add(std::string(kQuotedPrintable));
  }
  checkLineLengths(header);

  body.SetSize(0);
  body.SetPosition(0);
  if (multipart) body.WriteString("--" + boundary + "\r\n" + textPartHeader(quotedPrintable) + "\r\n\r\n");
  appendText(body, lines, quotedPrintable);
  if (!multipart) return;
  for (const std::string& path : message.Attachments.Items()) appendAttachment(path, method, boundary, events, body);
  body.WriteString("--" + boundary + "--\r\n");
}

}  // namespace corvane::smtp
