#include "AttachmentFolder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "Base64.h"
#include "CodedStreams.h"
#include "EncodedWords.h"
#include "Events.h"
#include "Exceptions.h"
#include "FileSync.h"
#include "QuotedPrintable.h"
#include "Streams.h"
#include "SysUtils.h"

namespace mime {
namespace {

// Room for a "_n" suffix below the file system's 255-byte limit on names.
constexpr size_t kMaxNameBytes = 200;
// A folder holding this many files of one name is not one we keep filling.
constexpr int kMaxNameSuffix = 100000;
// The start of an embedded message held back to name its file after its subject.
constexpr size_t kEmbeddedHeadLimit = 64 * 1024;

const char* const kTempFileName = "Temp.mme";
const char* const kDefaultFileName = "text.tmp";

// Any directory entry counts, a dangling symbolic link included, so a new file never
// lands on something that is already there.
bool entryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// A part that the HTML beside it shows by reference ("cid:"): in a multipart/related every
// one but the HTML and plain texts, of which the first is the document itself; elsewhere an
// image with a Content-ID, as some senders put them in a multipart/mixed.
bool isInlineResource(const EntityHeader& header, const PartPlace& place) {
  if (header.IsMultipart() || header.IsMessage()) return false;
  if (!place.inRelated) return header.type == "image" && header.Field("Content-ID");
  return header.type != "text" || (header.subtype != "plain" && header.subtype != "html");
}

bool isNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}

// The extension a file of this subtype usually carries, in letters and digits only.
std::string extensionOf(const std::string& subtype) {
  if (subtype == "jpeg" || subtype == "pjpeg") return "jpg";
  if (subtype == "svg+xml") return "svg";
  if (subtype == "octet-stream") return "bin";
  std::string ext;
  for (const char c : subtype.substr(0, subtype.find_first_of("+."))) {
    if (std::isalnum(static_cast<unsigned char>(c))) ext += c;
    if (ext.size() == 8) break;
  }
  return ext.empty() ? "bin" : ext;
}

// "<image001.png@01D6...>" gives "image001.png"; an identifier that is no plain word (most
// are made of dots and numbers) gives the type's name instead: "image.png".
std::string inlineResourceName(const EntityHeader& header) {
  const std::string ext = extensionOf(header.subtype);
  std::string local;
  if (const std::string* id = header.Field("Content-ID")) {
    local = corvane::Trim(*id);
    if (local.starts_with('<')) local.erase(0, 1);
    local = local.substr(0, local.find_first_of("@>"));
    for (const std::string& known : {"." + ext, "." + header.subtype})
      if (local.size() > known.size() && corvane::SameTextAscii(local.substr(local.size() - known.size()), known))
        local.resize(local.size() - known.size());
  }
  const bool plain = !local.empty() && local.size() <= 40 && std::all_of(local.begin(), local.end(), isNameCharacter);
  std::string base = plain ? local : header.type;
  if (base.empty() || !std::all_of(base.begin(), base.end(), isNameCharacter)) base = "part";
  return base + "." + ext;
}

}  // namespace

// One part on its way to disk, decoded as its lines arrive. Each line end is held back
// until the next line shows that the part goes on.
class AttachmentFolder::PartWriter : public PartContent {
 public:
  PartWriter(AttachmentFolder& folder, Coding coding, std::string name, bool nameFromSubject)
      : folder_(folder), coding_(coding), name_(std::move(name)), nameFromSubject_(nameFromSubject) {
    if (coding_ == Coding::UUEncode) {
      // The uuencode decoder works on a whole file (and says when the end line is missing).
      tempPath_ = folder_.Path + kTempFileName;
      std::remove(tempPath_.c_str());
      temp_ = std::make_unique<TFileStream>(tempPath_, TFileStream::fmCreate);
    }
    if (!nameFromSubject_) open();
  }
  ~PartWriter() override {
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

  void Line(std::string_view line) override {
    const std::string_view end = corvane::LineEndOf(line);
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
        const std::string bytes = DecodeQuotedPrintableLine(content, soft);
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

  void Lines(std::string_view lines) override {
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
        heldEnd_ = corvane::LineEndOf(lines);
        write(lines.substr(0, lines.size() - heldEnd_.size()));
        return;
      case Coding::QuotedPrintable:
        break;
    }
    PartContent::Lines(lines);
  }

  void End(bool atMessageEnd) override {
    if (atMessageEnd) write(heldEnd_);
    if (coding_ == Coding::Base64) {
      std::string bytes;
      base64_.Finish(bytes);
      write(bytes);
    }
    if (!out_) open();
    if (coding_ != Coding::Identity) Fire(folder_.OnStatus, std::string("Decoding file"));
    if (coding_ == Coding::UUEncode) {
      temp_->Flush();
      temp_.reset();
      TFileStream in(tempPath_, TFileStream::fmOpenRead);
      if (in.Size() > 0) DecodeUULines(in, *out_, folder_.OnNotice);
    }
    out_->Flush();
    writeback_.reset();
    out_.reset();
    finished_ = true;
    Fire(folder_.OnFileWritten, name_);
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
      EntityHeader header;
      size_t start = 0;
      while (start < head_.size()) {
        size_t end = head_.find('\n', start);
        if (end == std::string::npos) break;
        const std::string line(corvane::WithoutLineEnd(std::string_view(head_).substr(start, end + 1 - start)));
        if (line.empty()) break;
        header.AddLine(line);
        start = end + 1;
      }
      std::string subject;
      if (const std::string* value = header.Field("Subject")) subject = corvane::Trim(DecodeEncodedWords(*value));
      name_ = (subject.empty() ? std::string("message") : subject.substr(0, kMaxNameBytes - 4)) + ".eml";
    }
    name_ = folder_.uniqueFileName(PlainFileName(name_));
    target_ = folder_.Path + name_;
    out_ = std::make_unique<TFileStream>(target_, TFileStream::fmCreate);
    writeback_ = std::make_unique<corvane::EarlyWriteback>(-1, target_);
    written_ = static_cast<long long>(head_.size());
    if (!head_.empty()) out_->WriteString(head_);
    head_.clear();
  }

  AttachmentFolder& folder_;
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

bool AttachmentFolder::Keeps(const EntityHeader& header, const PartPlace& place) const {
  return !place.hidden || !header.FileName().empty() || isInlineResource(header, place);
}

std::string AttachmentFolder::PartName(const EntityHeader& header, const PartPlace& place) {
  std::string given = header.FileName();
  if (given.empty() && isInlineResource(header, place)) return inlineResourceName(header);
  return given;
}

std::unique_ptr<PartContent> AttachmentFolder::Begin(const EntityHeader& header, const PartPlace& place) {
  const std::string given = PartName(header, place);
  const bool embedded = header.IsMessage() && given.empty();
  return std::make_unique<PartWriter>(*this, header.TransferCoding(), given.empty() ? kDefaultFileName : given,
                                      embedded);
}

std::string AttachmentFolder::PlainFileName(const std::string& name) {
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

bool AttachmentFolder::taken(const std::string& name) const {
  if (corvane::SameTextAscii(name, kTempFileName)) return true;
  for (const std::string& reserved : ReservedNames)
    if (corvane::SameTextAscii(reserved, name)) return true;
  return entryExists(Path + name);
}

std::string AttachmentFolder::uniqueFileName(const std::string& name) {
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
  int& last = lastSuffix_[Path + '\0' + base + '\0' + ext];
  // A file removed since then (by the user, between sessions) makes the count start over.
  if (last > 0 && !taken(base + "_" + std::to_string(last) + "." + ext)) last = 0;
  for (int n = last + 1; n <= kMaxNameSuffix; ++n) {
    std::string candidate = base + "_" + std::to_string(n) + "." + ext;
    if (!taken(candidate)) {
      last = n;
      return candidate;
    }
  }
  throw EFCreateError(corvane::Format("Cannot create file %s", (Path + name).c_str()));
}

}  // namespace mime
