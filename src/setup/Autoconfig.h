#pragma once
// The autoconfig document a provider publishes over HTTPS (config-v1.1.xml): its POP3
// entries (incomingServer type="pop3") and its SMTP entries (outgoingServer type="smtp").
#include <string>
#include <vector>

#include "SetupResult.h"

namespace corvane::setup {

// Where a domain's document may be, in the order to ask.
std::vector<std::string> AutoconfigUrls(const std::string& domain);

struct TAutoconfig {
  bool Valid = false;              // a clientConfig document
  bool ListsIncoming = false;      // it names servers to receive from, POP3 or not
  TServerChoice Receive;           // the strongest POP3 entry; not found when none is usable
  TServerChoice Send;              // the strongest SMTP entry
  std::vector<std::string> Notes;  // entries left out, and why
};

// Reads a document (untrusted bytes) for an address: %EMAILADDRESS%, %EMAILLOCALPART%
// and %EMAILDOMAIN% in host and user names take the address's parts. Entries without TLS,
// with a host that is no host name or a port outside 1 to 65535 are left out; of the rest
// the strongest security wins (SSL/TLS, then STARTTLS), the document's order breaking ties.
TAutoconfig ParseAutoconfig(const std::string& document, const std::string& address, const std::string& origin);

}  // namespace corvane::setup
