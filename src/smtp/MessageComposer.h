#pragma once
// The record of a message to send and its composition into the exact text that follows
// DATA: the header lines and the rest of the message (text part, coded attachments,
// closing delimiter), every line already dot-stuffed for the wire.
#include <array>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "Events.h"
#include "Streams.h"
#include "StringList.h"
#include "ZnExtstr.h"
#include "ZnUUE.h"

using TFileItem = std::function<void(const std::string& Filename)>;

// The outgoing-message record. It owns its five lists; assigning one copies the lines.
class TPostMessage : public TObject {
 public:
  std::string FromName;
  std::string FromAddress;
  std::string Subject;
  std::string LocalProgram;  // written into the "X-Mailer" line
  std::string Date;          // written as it is when set; else the time of the build
  std::string MessageID;     // written as it is when set; else a fresh one
  std::string InReplyTo;     // the message-id this one answers; no field when empty
  std::string References;    // the message-ids of the thread, blank-separated; no field when empty
  std::string ReplyTo;
  TStringList Attachments;  // one file path per entry
  TStringList ToAddress;
  TStringList ToCarbonCopy;
  TStringList ToBlindCarbonCopy;  // envelope only, never in the header
  // When not empty, RCPT TO goes to these entries alone instead of the three lists: a
  // message sent again to the recipients that do not have it yet.
  TStringList Envelope;
  TStringList Body;

  // The properties a stored form description carries, in their stored order.
  static constexpr std::array<std::string_view, 11> PublishedProperties = {
      "FromAddress", "FromName",     "ToAddress", "ToCarbonCopy", "ToBlindCarbonCopy", "Body", "Attachments",
      "Subject",     "LocalProgram", "Date",      "ReplyTo"};
};

struct CompositionEvents {
  TFileItem OnAttachmentNotFound;
  TFileItem OnEncodeStart;
  TFileItem OnEncodeEnd;
};

namespace corvane::smtp {

inline constexpr std::string_view kTextContentType =
    "Content-Type: text/plain;                        charset=us-ascii";
inline constexpr std::string_view kBoundaryPrefix = "====================54535";

// Raises Exception when a text bound for the header or the envelope holds CR or LF, which
// would put extra header lines or commands on the wire.
void CheckLineBreaks(const TPostMessage& message);

// The time of day as the user's locale writes it in its long time format, with any time
// zone left out; falls back to hh:mm:ss when the locale's text could not stand in a
// MIME boundary.
std::string LongTimeText(std::time_t now);
// The same for a given strftime format (the locale's long time format).
std::string LongTimeText(const std::tm& time, const char* format);

std::string MakeBoundary(std::time_t now);

// The name a part header gives an attachment: its path without the folders.
std::string AttachmentName(std::string_view path);

// Rebuilds header and body from message; now gives the Date (unless the record has one)
// and the boundary, which is replaced only for a message with attachments. Text that is
// not plain ASCII goes out encoded, long fields folded and a text body with non-ASCII
// bytes or long lines quoted-printable, so that no line on the wire is over 998 octets.
// Attachment files are opened, coded and appended one after another; a file that cannot
// be opened fires OnAttachmentNotFound and raises "Cannot open file %s". A header field
// that cannot be folded to legal lines raises.
void ComposeMessage(const TPostMessage& message, UUMethods method, std::time_t now, const CompositionEvents& events,
                    TExStringList& header, std::string& boundary, TStream& body);

// The header block as it goes out after DATA: every line with CR LF, then two CR LF.
std::string HeaderText(const TStringList& header);

}  // namespace corvane::smtp
