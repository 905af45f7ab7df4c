#pragma once
// The client side of the SASL mechanisms (RFC 4422) both mail protocols log in with:
// PLAIN (RFC 4616), LOGIN, CRAM-MD5 (RFC 2195), XOAUTH2 and OAUTHBEARER (RFC 7628). Each
// works on decoded bytes; the protocol carries them in base64.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::sasl {

// What a login presents.
struct Credentials {
  std::string user;     // the login name; for a token, the account it was issued to
  std::string secret;   // a password, or an OAuth 2.0 access token
  bool bearer = false;  // secret is an access token
  std::string host;     // the server as connected to, which OAUTHBEARER names
  int port = 0;
};

class Mechanism {
 public:
  virtual ~Mechanism() = default;
  virtual std::string_view Name() const = 0;
  // The client's first message, for a mechanism that speaks first.
  virtual std::optional<std::string> InitialResponse() const { return std::nullopt; }
  // The initial response went out with the command.
  void InitialResponseSent() { initialSent_ = true; }
  // The answer to a decoded server challenge.
  virtual std::string Respond(std::string_view challenge) = 0;
  // What a token mechanism's server said about a refused token (its decoded JSON); empty
  // otherwise.
  const std::string& ErrorReport() const { return errorReport_; }

 protected:
  std::string errorReport_;
  bool initialSent_ = false;
};

// The mechanism of that name (upper case), or null for one this client does not speak.
std::unique_ptr<Mechanism> MakeMechanism(std::string_view name, const Credentials& credentials);

// The CRAM-MD5 answer (RFC 2195) to a decoded challenge: user, a blank, and the
// lower-case hex HMAC-MD5 of the challenge keyed with the password.
std::string CramMd5Response(const std::string& user, const std::string& password, std::string_view challenge);

}  // namespace corvane::sasl
