#pragma once
// The walk over one received message's MIME part tree, in one pass as its lines arrive:
// the top-level header to its owner, the part shown as the message's text to the body
// builder, every other part to the attachment folder. Which part goes where is the
// builder's and the folder's to say; the walk only finds the parts and where they stand.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AttachmentFolder.h"
#include "BodyBuilder.h"
#include "EntityHeader.h"

namespace mime {

// Where the lines of one message come from: each with its line end, as the sender wrote it.
class LineInput {
 public:
  virtual ~LineInput() = default;
  // The next line into line (its storage reused); false once the message has ended.
  virtual bool NextLine(std::string& line) = 0;
  // Complete lines at hand that NextLine would give next as they are, up to the first one
  // that begins with stop; empty when there are none. Valid until the next call of any of
  // these.
  virtual std::string_view Buffered(char /*stop*/) { return {}; }
  // Takes the first count bytes of what Buffered showed, as NextLine would have.
  virtual void Take(size_t /*count*/) {}
};

class MessageWalker {
 public:
  MessageWalker(BodyBuilder& body, AttachmentFolder& folder);

  // Each top-level header line as kept (without its line end; an mbox envelope line in
  // front included; lines past kHeaderLimit bytes are not kept).
  std::function<void(const std::string& Line)> OnHeaderLine;
  // The top-level header after each line that began or continued one of its fields.
  std::function<void(const EntityHeader& Header)> OnHeaderField;
  // "Extracting file" as a part is taken up.
  std::function<void(const std::string& Text)> OnStatus;

  // Back to the state before a message.
  void Reset();
  // Walks the message from its first line up to the end of input.
  void Walk(LineInput& input);

 private:
  struct Stop {
    enum Kind { End, Delimiter, Close } kind = End;
    size_t level = 0;
  };
  struct Group {
    bool alternative = false;
    bool taken = false;  // a part of the alternative has been read
    bool related = false;
  };

  bool nextLine(std::string& line);
  bool contentLine(std::string& line, Stop& stop);
  bool readHeader(EntityHeader& header, bool top, Stop& stop);
  PartPlace place(bool hidden) const;
  Stop readEntity(const EntityHeader& header, bool hidden);
  Stop readMultipart(const EntityHeader& header, bool hidden);
  Stop readLeaf(const EntityHeader& header, bool hidden);
  // A part's content into content: from the wire, or from lines already read (ended by
  // keptStop).
  Stop readContent(PartContent& content, const std::vector<std::string>* keptLines, Stop keptStop);
  Stop readFilePart(const EntityHeader& header, const PartPlace& where, const std::vector<std::string>* keptLines,
                    Stop keptStop);
  Stop skipContent();
  void status(const std::string& text);

  BodyBuilder& body_;
  AttachmentFolder& folder_;
  LineInput* input_ = nullptr;
  std::optional<std::string> pushedBack_;
  size_t topLines_ = 0;
  std::vector<std::string> boundaries_;  // open multiparts, outermost first
  std::vector<Group> groups_;            // beside boundaries_
};

}  // namespace mime
