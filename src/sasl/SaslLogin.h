#pragma once
// A login by SASL over a line protocol (POP3's AUTH of RFC 5034, SMTP's of RFC 4954): the
// choice of mechanism among those the server offers, and the exchange itself. The
// protocols differ only in how a reply reads, which the caller's Exchange tells.
#include <functional>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "SaslMechanism.h"

namespace corvane::sasl {

// The server refused the login. Bearer: it refused an access token, which a fresh one may
// put right.
class ELoginRefused : public Exception {
 public:
  ELoginRefused(const std::string& message, bool bearer) : Exception(message), Bearer(bearer) {}
  bool Bearer;
};

// The server's answer to one line of the exchange.
struct Reply {
  enum Kind { Challenge, Success, Refusal } kind;
  std::string text;  // Challenge: its base64 text; otherwise the reply line without its end
};
using Exchange = std::function<Reply(const std::string& line)>;

// Where a login goes and how it may go.
struct LoginTerms {
  const Credentials& credentials;
  bool secure;        // the connection runs over TLS
  bool plainAllowed;  // the user allowed passwords in plain text for this account
};

// The strongest mechanism of candidates (strongest first) that the server offers and the
// terms permit. Without TLS a password goes only by CRAM-MD5, which never reveals it,
// unless plain text is allowed; a token goes only over TLS. Throws with a text that names
// the account and says what to change when there is none.
std::string ChooseMechanism(const std::vector<std::string>& offered, const std::vector<std::string>& candidates,
                            const LoginTerms& terms);

// The token mechanisms, strongest first: OAUTHBEARER, the standard one, unless the
// provider's servers want XOAUTH2.
std::vector<std::string> TokenMechanisms(bool preferXOAuth2);

// "AUTH name" with the initial response where the command stays within maxCommand octets
// (CR LF included), then answers every challenge until the server accepts or refuses.
// A refusal raises ELoginRefused "Login as USER at HOST refused: REPLY".
void Authenticate(Mechanism& mechanism, const Credentials& credentials, size_t maxCommand, const Exchange& exchange);

}  // namespace corvane::sasl
