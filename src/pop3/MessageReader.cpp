#include "MessageReader.h"

#include <sys/stat.h>

#include <cstdio>

#include "Exceptions.h"
#include "SysUtils.h"
#include "ZnUUE.h"

namespace {

// Values copied out of header lines are cut to this many characters.
constexpr size_t kValueLimit = 256;
// Room for a "_n" suffix below the file system's 255-byte limit on names.
constexpr size_t kMaxNameBytes = 200;
// A folder holding this many files of one name is not one we keep filling.
constexpr int kMaxNameSuffix = 100000;

const char* const kTempFileName = "Temp.mme";
const char* const kDefaultFileName = "text.tmp";

std::string withoutLineEnd(const std::string& line) {
  if (line.ends_with("\r\n")) return line.substr(0, line.size() - 2);
  if (line.ends_with('\n')) return line.substr(0, line.size() - 1);
  return line;
}

// The value of a header line from a fixed 1-based character position, as the header names
// are matched with exactly one blank after their colon.
std::string valueFrom(const std::string& line, size_t position) {
  if (line.size() < position) return {};
  return line.substr(position - 1, kValueLimit);
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

// Any directory entry counts, a dangling symbolic link included, so a new file never
// lands on something that is already there.
bool entryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
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

}  // namespace

// A file-mode part on its way to disk. Every line goes to the scratch file as it arrives;
// a base64 part is also decoded into its attachment file a megabyte at a time, so that
// decoding overlaps with the server's sending instead of following it. Lines holding "="
// can end base64 decoding, so from the first of them on the rest waits for the final
// call, which then sees exactly what one call over the whole file would.
class TMessageReader::PartFile {
 public:
  PartFile(std::string tempPath, TZnUUProcessor& coder) : tempPath_(std::move(tempPath)), coder_(coder) {
    // A new file rather than a truncated old one: file systems flush a truncated file
    // early when it is closed, which costs milliseconds per part.
    std::remove(tempPath_.c_str());
    temp_ = std::make_unique<TFileStream>(tempPath_, TFileStream::fmCreate);
  }
  ~PartFile() {
    // A part cut short by a failure leaves no half-decoded attachment behind.
    if (out_ && !finishing_) {
      out_.reset();
      std::remove(target_.c_str());
    }
  }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  const std::string& TempPath() const { return tempPath_; }

  void DecodeInto(const std::string& target) {
    target_ = target;
    out_ = std::make_unique<TFileStream>(target, TFileStream::fmCreate);
  }

  void Add(const std::string& line) {
    temp_->WriteString(line);
    written_ += static_cast<int64_t>(line.size());
    if (!out_ || !early_) return;
    if (contains(line, "=")) {
      early_ = false;
    } else if (written_ - decodedTo_ >= kEarlyDecodeBytes) {
      decodeNewLines();
    }
  }

  void CloseTemp() {
    temp_->Flush();
    temp_.reset();
  }

  void FinishDecoding() {
    finishing_ = true;
    decodeNewLines();
    out_->Flush();
    out_.reset();
  }

 private:
  static constexpr int64_t kEarlyDecodeBytes = 1 << 20;

  void decodeNewLines() {
    if (temp_) temp_->Flush();
    TFileStream in(tempPath_, TFileStream::fmOpenRead);
    if (in.Size() <= decodedTo_) return;
    in.SetPosition(decodedTo_);
    const CoderStreams streams(coder_, in, *out_);
    coder_.Method = uuMime;
    coder_.Decode();
    decodedTo_ = in.Position();
  }

  std::string tempPath_;
  TZnUUProcessor& coder_;
  std::unique_ptr<TFileStream> temp_;
  std::unique_ptr<TFileStream> out_;
  std::string target_;
  int64_t written_ = 0;
  int64_t decodedTo_ = 0;
  bool early_ = true;
  bool finishing_ = false;
};

void TMessageReader::Reset() {
  transferEncoding_.clear();
  boundary_.clear();
  partFileName_.clear();
  bodyMode_ = TBodyMode::bmHeader;
}

void TMessageReader::Read(const TLineSource& ReadLine) {
  // Only used during this call, and never reset: a failed read can unwind over a reader
  // that went away with its owner inside the wait for a line.
  source_ = &ReadLine;
  ended_ = false;
  message_.Header.Clear();
  message_.Body.Clear();
  message_.Attachments.Clear();
  message_.Subject.clear();
  message_.From.clear();
  message_.MessageId.clear();
  contentType_.clear();
  try {
    readMessage();
  } catch (const ESockError&) {
    throw;
  } catch (...) {
    // A file that could not be written ends the retrieval, but the connection must stay in
    // step with the server: the rest of the message is read and dropped first.
    drainToEnd();
    throw;
  }
  // Whatever a malformed message left unread belongs to it, not to the next reply.
  drainToEnd();
}

bool TMessageReader::nextLine(std::string& line) {
  if (ended_) return false;
  line = (*source_)();
  if (line == ".\r\n" || line == ".\n") {
    ended_ = true;
    return false;
  }
  // The server doubled the leading dot of this line; the sender wrote one.
  if (line.starts_with("..")) line.erase(0, 1);
  return true;
}

void TMessageReader::drainToEnd() {
  std::string line;
  while (nextLine(line)) {
  }
}

void TMessageReader::readMessage() {
  readHeader();
  if (ended_) return;
  // Only the lower-case type is taken for multipart, other spellings are read as text; so
  // is a multipart message without a boundary, which gives nothing to split it at.
  if (contains(contentType_, "multipart") && !boundary_.empty()) {
    readMultipart();
    return;
  }
  if (contains(corvane::UpperCase(transferEncoding_), "BASE64")) {
    bodyMode_ = TBodyMode::bmFile;
    readBody();
    // A single-part coded message shows its decoded text as the body.
    if (message_.Attachments.Count() > 0) message_.Body.LoadFromFile(AttachFilePath + message_.Attachments[0]);
    return;
  }
  readBody();
}

void TMessageReader::readHeader() {
  std::string line;
  while (nextLine(line)) {
    line = withoutLineEnd(line);
    if (bodyMode_ == TBodyMode::bmHeader) message_.Header.Add(line);
    if (line.empty()) break;
    headerFields(line);
  }
  if (bodyMode_ == TBodyMode::bmHeader) bodyMode_ = TBodyMode::bmText;
}

void TMessageReader::headerFields(const std::string& line) {
  const std::string name = corvane::UpperCase(line.substr(0, line.find(' ')));
  if (name == "SUBJECT:") message_.Subject = valueFrom(line, 9);
  if (name == "FROM:") message_.From = valueFrom(line, 7);
  if (name == "CONTENT-TYPE:") contentType_ = valueFrom(line, 15);
  if (name == "MESSAGE-ID:") message_.MessageId = valueFrom(line, 13);

  const std::string upper = corvane::UpperCase(line);
  const size_t boundaryAt = upper.find("BOUNDARY=");
  if (boundaryAt != std::string::npos) {
    std::string value = line.substr(boundaryAt + 9);
    if (value.starts_with('"')) value = value.substr(1, value.find('"', 1) - 1);
    boundary_ = value.substr(0, kValueLimit);
  }
  if (contains(upper, "CONTENT-TRANSFER-ENCODING")) transferEncoding_ = valueFrom(line, 28);
  if (contains(upper, "NAME")) {
    const size_t open = line.find('"');
    partFileName_ = open == std::string::npos ? std::string() : line.substr(open + 1, kValueLimit);
    partFileName_ = partFileName_.substr(0, partFileName_.find('"'));
  }
}

bool TMessageReader::readBody() {
  std::unique_ptr<PartFile> part;
  if (bodyMode_ == TBodyMode::bmFile) {
    part = std::make_unique<PartFile>(AttachFilePath + kTempFileName, coder_);
    message_.Body.Add("\r\nFile \"" + partFileName_ + "\" extracted");
    partFileName_ = uniqueFileName(PlainFileName(partFileName_));
    if (partCoding() == PartCoding::Base64) part->DecodeInto(AttachFilePath + partFileName_);
  }
  status("Extracting file");

  bool closing = false;
  std::string line;
  while (nextLine(line)) {
    if (!boundary_.empty() && contains(line, boundary_)) {
      closing = withoutLineEnd(line).ends_with("--");
      break;
    }
    if (part) {
      part->Add(line);
    } else {
      message_.Body.Add(withoutLineEnd(line));
    }
  }
  if (part) storePart(*part);
  bodyMode_ = TBodyMode::bmFile;
  return closing;
}

void TMessageReader::readMultipart() {
  std::string line;
  bool delimiterSeen = false;
  while (!delimiterSeen && nextLine(line)) delimiterSeen = contains(line, boundary_);
  bool closing = false;
  while (delimiterSeen && !closing && !ended_) {
    transferEncoding_.clear();
    partFileName_.clear();
    readHeader();
    if (ended_) break;
    closing = readBody();
  }
}

std::string TMessageReader::PlainFileName(const std::string& name) {
  const size_t cut = name.find_last_of("/\\");
  std::string plain = cut == std::string::npos ? name : name.substr(cut + 1);
  if (plain.empty() || plain == "." || plain == ".." || contains(plain, std::string_view("\0", 1))) {
    return kDefaultFileName;
  }
  // File systems refuse names past 255 bytes; keep the start and the extension.
  if (plain.size() > kMaxNameBytes) {
    const size_t dot = plain.rfind('.');
    const std::string ext = dot != std::string::npos && plain.size() - dot <= 16 ? plain.substr(dot) : "";
    plain = plain.substr(0, kMaxNameBytes - ext.size()) + ext;
  }
  return plain;
}

bool TMessageReader::taken(const std::string& name) const {
  for (const std::string& reserved : ReservedFileNames)
    if (corvane::SameTextAscii(reserved, name)) return true;
  return entryExists(AttachFilePath + name);
}

std::string TMessageReader::uniqueFileName(const std::string& name) const {
  if (!taken(name)) return name;
  const size_t firstDot = name.find('.');
  const std::string base = name.substr(0, firstDot);
  std::string ext;
  if (firstDot != std::string::npos) {
    const size_t secondDot = name.find('.', firstDot + 1);
    ext = name.substr(firstDot + 1, secondDot == std::string::npos ? std::string::npos : secondDot - firstDot - 1);
  }
  for (int n = 1; n <= kMaxNameSuffix; ++n) {
    std::string candidate = base + "_" + std::to_string(n) + "." + ext;
    if (!taken(candidate)) return candidate;
  }
  throw EFCreateError(corvane::Format("Cannot create file %s", (AttachFilePath + name).c_str()));
}

TMessageReader::PartCoding TMessageReader::partCoding() const {
  // Parts are decoded only for these spellings; any other part is moved as it came.
  if (contains(transferEncoding_, "X-UUENCODE")) return PartCoding::UUEncode;
  if (contains(transferEncoding_, "base64") || contains(transferEncoding_, "Base64")) return PartCoding::Base64;
  return PartCoding::None;
}

void TMessageReader::storePart(PartFile& part) {
  part.CloseTemp();
  const std::string target = AttachFilePath + partFileName_;
  message_.Attachments.Add(partFileName_);
  switch (partCoding()) {
    case PartCoding::Base64:
      status("Decoding file");
      part.FinishDecoding();
      return;
    case PartCoding::UUEncode: {
      TFileStream in(part.TempPath(), TFileStream::fmOpenRead);
      TFileStream out(target, TFileStream::fmCreate);
      const CoderStreams streams(coder_, in, out);
      coder_.Method = uuCode;
      status("Decoding file");
      if (in.Size() > 0) coder_.Decode();
      out.Flush();
      return;
    }
    case PartCoding::None:
      if (std::rename(part.TempPath().c_str(), target.c_str()) != 0) {
        throw EFCreateError(corvane::Format("Cannot create file %s", target.c_str()));
      }
      return;
  }
}

void TMessageReader::status(const std::string& text) {
  Fire(OnStatus, text);
}
