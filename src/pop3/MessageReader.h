#pragma once
// The records of a retrieved message and the reader that fills them from a POP3 RETR
// reply: the reply's lines go to the MIME walker, which puts the message's text into the
// body as UTF-8 and streams every attachment part to a file in the attachment folder.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "AttachmentFolder.h"
#include "BodyBuilder.h"
#include "Events.h"
#include "LineList.h"
#include "MessageWalker.h"
#include "MultiLineReply.h"
#include "StringList.h"
#include "ZnExtstr.h"

class TRawMessageSink;

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

// Reads one message, from the line after the positive RETR reply up to and including the
// terminating line. Lines come from ReadLine with their line ends; the reader never asks for
// a line past the terminating one, so the next reply stays where it is.
//
// What it makes of a message:
// - Header: the top-level header lines as received; From, Subject and MessageId their
//   values with RFC 2047 words decoded (Subject keeps the blank after its colon).
// - Body: the message's text in UTF-8: the first inline text/plain or text/html part (in
//   multipart/alternative the plain one; HTML as its text without markup, links as "text
//   <address>"; a text never in its transfer encoding as it came, under a note), then for
//   every attachment an empty line and the notice File "name" extracted, in message order.
// - Attachments: every other leaf part, and every message/rfc822 part whole as ".eml",
//   written decoded (base64, quoted-printable, uuencode) or with exactly its bytes; of the
//   alternatives not shown, the named parts and inline images.
class TMessageReader {
 public:
  using TLineSource = std::function<std::string()>;

  explicit TMessageReader(TMailMessage& message);

  // Folder prefix of attachment files, joined unchanged (a folder ends with its separator).
  std::string AttachFilePath;
  // Names the owner keeps for its own files in the folder (stores, settings): a part that
  // carries one of them is written under a suffixed name, as if the file were there.
  std::vector<std::string> ReservedFileNames;
  // Progress texts ("Extracting file", "Decoding file") for the owner's status report.
  std::function<void(const std::string& Text)> OnStatus;
  // Texts for the user from the uudecoder, such as " No end line.".
  std::function<void(const std::string& Text)> OnMessage;
  // Receives the message exactly as sent, dot-stuffing undone, when set (not owned).
  TRawMessageSink* RawSink = nullptr;

  // Working fields back to their state before a message.
  void Reset();
  // Clears the record and reads the whole message into it.
  void Read(TLineInput& Input);
  void Read(const TLineSource& ReadLine);

 private:
  void headerField(const mime::EntityHeader& header);

  TMailMessage& message_;
  mime::AttachmentFolder folder_;
  mime::BodyBuilder body_;
  mime::MessageWalker walker_;

  // Where the first From, Subject and Message-ID fields of the top-level header are.
  static constexpr size_t kNoField = static_cast<size_t>(-1);
  std::array<size_t, 3> firstTopField_{kNoField, kNoField, kNoField};
};
