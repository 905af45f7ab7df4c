#include "MessageWalker.h"

#include <utility>

#include "Events.h"
#include "SysUtils.h"

namespace mime {
namespace {

// Text kept from a multipart message whose boundary never shows, to show it as text.
constexpr size_t kPreambleLimit = 8 << 20;
// Multiparts nested deeper than this are read as one part.
constexpr size_t kMaxNesting = 100;

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

}  // namespace

MessageWalker::MessageWalker(BodyBuilder& body, AttachmentFolder& folder) : body_(body), folder_(folder) {}

void MessageWalker::Reset() {
  pushedBack_.reset();
  topLines_ = 0;
  boundaries_.clear();
  groups_.clear();
}

void MessageWalker::Walk(LineInput& input) {
  Reset();
  input_ = &input;
  EntityHeader header;
  Stop stop;
  const bool hasBody = readHeader(header, true, stop);
  header.Interpret();
  if (!hasBody) return;
  readEntity(header, false);
}

bool MessageWalker::nextLine(std::string& line) {
  if (pushedBack_) {
    line = std::move(*pushedBack_);
    pushedBack_.reset();
    return true;
  }
  return input_->NextLine(line);
}

bool MessageWalker::contentLine(std::string& line, Stop& stop) {
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

bool MessageWalker::readHeader(EntityHeader& header, bool top, Stop& stop) {
  std::string line;
  size_t keptBytes = 0;
  while (contentLine(line, stop)) {
    std::string text(corvane::WithoutLineEnd(line));
    // An mbox envelope line that a server left in front of the header is no field.
    const bool envelope = top && topLines_ == 0 && text.starts_with("From ");
    // A header without its empty line ends where a line cannot be a header line.
    if (!envelope && !text.empty() && !EntityHeader::LooksLikeHeaderLine(text)) {
      pushedBack_ = std::move(line);
      return true;
    }
    // Past the limit the header lines are not kept; the raw archive has them.
    if (top && (text.empty() || keptBytes < kHeaderLimit)) {
      keptBytes += text.size();
      ++topLines_;
      Fire(OnHeaderLine, text);
    }
    if (text.empty()) return true;
    if (envelope) continue;
    header.AddLine(text);
    if (top) Fire(OnHeaderField, header);
  }
  return false;
}

PartPlace MessageWalker::place(bool hidden) const {
  PartPlace where;
  where.depth = groups_.size();
  where.inAlternative = !groups_.empty() && groups_.back().alternative;
  where.inRelated = !groups_.empty() && groups_.back().related;
  for (size_t g = groups_.size(); g-- > 0;) {
    if (groups_[g].alternative) {
      where.alternative = static_cast<int>(g);
      break;
    }
  }
  where.hidden = hidden;
  return where;
}

MessageWalker::Stop MessageWalker::readEntity(const EntityHeader& header, bool hidden) {
  // Each level of multipart is a call deeper; one nested past any real mail's depth is read
  // as a single part, so that no message can exhaust the stack.
  if (header.IsMultipart() && boundaries_.size() < kMaxNesting) return readMultipart(header, hidden);
  return readLeaf(header, hidden);
}

MessageWalker::Stop MessageWalker::readMultipart(const EntityHeader& header, bool hidden) {
  boundaries_.push_back(header.Boundary());
  groups_.push_back(Group{header.subtype == "alternative", false, header.subtype == "related"});
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
    EntityHeader text;
    text.Interpret();
    const PartPlace where = place(hidden);
    if (body_.ShowsPreamble(where)) {
      std::string raw;
      for (const std::string& kept : preamble) raw += kept;
      body_.Preamble(std::move(raw), header);
      return stop;
    }
    if (folder_.Keeps(text, where)) readFilePart(text, where, &preamble, stop);
    return stop;
  }
  preamble.clear();

  const std::string defaultType = header.subtype == "digest" ? "message/rfc822" : "text/plain";
  while (stop.kind == Stop::Delimiter && stop.level == level) {
    EntityHeader part;
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
    const bool shadowed = group.alternative && group.taken && !body_.ShowsInstead(part, level);
    stop = readEntity(part, hidden || shadowed);
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

MessageWalker::Stop MessageWalker::readLeaf(const EntityHeader& header, bool hidden) {
  const PartPlace where = place(hidden);
  if (body_.Shows(header, where)) {
    status("Extracting file");
    return readContent(body_.Text(header, where), nullptr, Stop{});
  }
  if (folder_.Keeps(header, where)) return readFilePart(header, where, nullptr, Stop{});
  return skipContent();
}

MessageWalker::Stop MessageWalker::readContent(PartContent& content, const std::vector<std::string>* keptLines,
                                               Stop keptStop) {
  Stop stop = keptStop;
  if (keptLines) {
    for (const std::string& line : *keptLines) content.Line(line);
  } else {
    std::string line;
    for (;;) {
      // Runs of lines at hand up to the next one that may be a delimiter go in one step.
      const std::string_view lines = pushedBack_ ? std::string_view() : input_->Buffered('-');
      if (!lines.empty()) {
        // Taken also when a write below fails: the lines must not come round a second time.
        struct Taken {
          LineInput& input;
          size_t count;
          ~Taken() { input.Take(count); }
        } taken{*input_, lines.size()};
        content.Lines(lines);
        continue;
      }
      if (!contentLine(line, stop)) break;
      content.Line(line);
    }
  }
  content.End(stop.kind == Stop::End);
  return stop;
}

MessageWalker::Stop MessageWalker::readFilePart(const EntityHeader& header, const PartPlace& where,
                                                const std::vector<std::string>* keptLines, Stop keptStop) {
  const std::unique_ptr<PartContent> file = folder_.Begin(header, where);
  body_.FileNotice(AttachmentFolder::PartName(header, where));
  status("Extracting file");
  return readContent(*file, keptLines, keptStop);
}

MessageWalker::Stop MessageWalker::skipContent() {
  Stop stop;
  std::string line;
  while (contentLine(line, stop)) {
  }
  return stop;
}

void MessageWalker::status(const std::string& text) {
  Fire(OnStatus, text);
}

}  // namespace mime
