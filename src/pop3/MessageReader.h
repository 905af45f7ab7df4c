#pragma once
// The records of a retrieved message and the reader that fills them line by line from a
// POP3 RETR reply: it walks the whole MIME part tree in one pass, puts the message's text
// into the body as UTF-8 and streams every attachment part to a file in the attachment
// folder, decoded, with memory flat in the part's size.
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Events.h"
#include "LineList.h"
#include "StringList.h"
#include "ZnExtstr.h"

class TZnUUProcessor;
class TRawMessageSink;
namespace mime {
class EntityHeader;
}

// The last retrieved message: header lines, sender, subject, body and attachment file names.
// The body is a packed line list: a message can be far larger than its lines are worth
// as one string each.
class TMailMessage : public TObject {
 public:
  TExStringList Header;
  TLineList Body;
  TStringList Attachments;
  std::string From;
  std::string Subject;
  std::string MessageId;
};

// A message summary; kept for owners that fill it themselves.
class TSummary : public TObject {
 public:
  std::string Subject;
  std::string From;
  std::string MessageId;
  int32_t Bytes = 0;
  TExStringList Header;
};

// Where the lines of a message come from. ReadLine may wait for a line; Buffered and Take
// let the reader take runs of lines that have already arrived in one step, without a copy
// per line. A source without a buffer of its own keeps the defaults.
class TLineInput {
 public:
  virtual ~TLineInput() = default;
  // The next line with its line end, into line (its storage reused).
  virtual void ReadLine(std::string& line) = 0;
  // Complete lines at hand, each with its line end, that ReadLine would return next
  // without waiting; empty when there are none. Valid until the next call of any of these.
  virtual std::string_view Buffered() { return {}; }
  // Drops the first count bytes of what Buffered showed, as ReadLine would have.
  virtual void Take(size_t) {}
};

// Reads one message, from the line after the positive RETR reply up to and including the
// terminating line. Lines come from ReadLine with their line ends; the reader never asks for
// a line past the terminating one, so the next reply stays where it is.
//
// What it makes of a message:
// - Header: the top-level header lines as received; From, Subject and MessageId their
//   values with RFC 2047 words decoded (Subject keeps the blank after its colon).
// - Body: the message's text in UTF-8: the first inline text/plain or text/html part (in
//   multipart/alternative the plain one; HTML as its text without markup), then for every
//   attachment an empty line and the notice File "name" extracted, in message order.
// - Attachments: every other leaf part, and every message/rfc822 part whole as ".eml",
//   written decoded (base64, quoted-printable, uuencode) or with exactly its bytes.
class TMessageReader {
 public:
  using TLineSource = std::function<std::string()>;

  TMessageReader(TMailMessage& message, TZnUUProcessor& coder);
  ~TMessageReader();

  // Folder prefix of attachment files, joined unchanged (a folder ends with its separator).
  std::string AttachFilePath;
  // Names the owner keeps for its own files in the folder (stores, settings): a part that
  // carries one of them is written under a suffixed name, as if the file were there.
  std::vector<std::string> ReservedFileNames;
  // Progress texts ("Extracting file", "Decoding file") for the owner's status report.
  std::function<void(const std::string& Text)> OnStatus;
  // Receives the message exactly as sent, dot-stuffing undone, when set (not owned).
  TRawMessageSink* RawSink = nullptr;

  // Working fields back to their state before a message.
  void Reset();
  // Clears the record and reads the whole message into it.
  void Read(TLineInput& Input);
  void Read(const TLineSource& ReadLine);

  // The name a part's file gets in the folder: no path, no control characters, nothing
  // the file system refuses.
  static std::string PlainFileName(const std::string& name);

 private:
  class PartWriter;
  struct Stop {
    enum Kind { End, Delimiter, Close } kind = End;
    size_t level = 0;
  };
  struct Group {
    bool alternative = false;
    bool taken = false;  // an alternative has been shown or saved
  };

  bool nextLine(std::string& line);
  // Lines at hand up to the next one the reader must look at on its own (a terminating,
  // dot-stuffed or delimiter line): handed to the archive, then to take, then dropped.
  template <typename Take>
  bool plainLines(Take&& take);
  void keepRaw(const std::function<void()>& step);
  bool contentLine(std::string& line, Stop& stop);
  void drainToEnd();
  void readMessage();
  bool readHeader(mime::EntityHeader& header, bool top, Stop& stop);
  Stop readEntity(const mime::EntityHeader& header);
  Stop readMultipart(const mime::EntityHeader& header);
  Stop readLeaf(const mime::EntityHeader& header);
  Stop readBodyPart(const mime::EntityHeader& header);
  // A body part's text in any transfer encoding but uuencode, decoded and converted as it
  // comes; charset: the part's, in lower case.
  Stop readTextPart(const mime::EntityHeader& header, std::string charset);
  // Writes a part from the wire, or from lines already read (ended by keptStop).
  Stop readFilePart(const mime::EntityHeader& header, const std::vector<std::string>* keptLines, Stop keptStop);
  Stop skipContent();
  void setBodyText(std::string raw, const mime::EntityHeader& header);
  void topField(const mime::EntityHeader& header);
  std::string uniqueFileName(const std::string& name);
  bool taken(const std::string& name) const;
  void status(const std::string& text);

  TMailMessage& message_;
  TZnUUProcessor& coder_;
  TLineInput* input_ = nullptr;
  bool ended_ = false;  // the terminating line has been read
  std::optional<std::string> pushedBack_;
  TRawMessageSink* sink_ = nullptr;
  std::exception_ptr sinkError_;

  std::vector<std::string> boundaries_;  // open multiparts, outermost first
  std::vector<Group> groups_;            // beside boundaries_
  int skipping_ = 0;                     // inside an alternative that is not shown

  bool bodyTaken_ = false;
  bool bodyIsHtml_ = false;
  int bodyGroup_ = -1;  // the alternative group the body came from
  int bodyAt_ = 0;      // where the body's lines go among the notices
  int bodyLines_ = 0;

  // Where the first From, Subject and Message-ID fields of the top-level header are.
  static constexpr size_t kNoField = static_cast<size_t>(-1);
  std::array<size_t, 3> firstTopField_{kNoField, kNoField, kNoField};

  // Highest "_n" handed out per base and extension, so that many parts of one name cost
  // one look-up each.
  std::map<std::string, int> lastSuffix_;
};
