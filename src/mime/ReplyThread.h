#pragma once
// The header fields that let readers thread a reply (RFC 5322, section 3.6.4): In-Reply-To
// names the message answered, References the thread up to and including it.
#include <string>
#include <vector>

namespace mime {

struct ReplyThread {
  std::string inReplyTo;   // "<id>", empty when the answered message has no Message-ID
  std::string references;  // message-ids separated by blanks, oldest first
};

// From the header lines of the answered message as they were received (a folded field
// spans several lines; a continuation line may have lost its leading blank). Only ids of
// the form "<...>" without blanks or controls are taken; anything else is left out.
ReplyThread ThreadOfReply(const std::vector<std::string>& headerLines);

}  // namespace mime
