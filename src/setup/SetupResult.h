#pragma once
// What account discovery found for one e-mail address: the POP3 server to receive from
// and the submission server to send through, each with where its values came from.
#include <cstdint>
#include <string>
#include <vector>

#include "ZnSock.h"

// Sign-in methods as the settings file names them.
inline constexpr const char* kSignInPassword = "Password";
inline constexpr const char* kSignInOAuth2 = "OAuth2";

struct TServerChoice {
  std::string Host;
  uint16_t Port = 0;
  TSecurity Security = secNone;
  std::string UserName;                  // the login; empty on the send side: no login
  std::string SignIn = kSignInPassword;  // kSignInPassword or kSignInOAuth2
  std::string OAuthProvider;             // "Google", "Microsoft"; empty when unknown
  std::string Origin;                    // where the values came from, for the user

  bool Found() const { return !Host.empty(); }
};

struct TDiscoveryResult {
  std::string Address;  // the e-mail address asked about
  TServerChoice Receive;
  TServerChoice Send;
  bool NoPop3 = false;             // the provider says it offers no POP3
  std::vector<std::string> Notes;  // what the user should know besides the values

  bool Complete() const { return (Receive.Found() || NoPop3) && Send.Found(); }
  bool Empty() const { return !Receive.Found() && !Send.Found(); }
};

namespace corvane::setup {

// "SSL/TLS", "STARTTLS", "None".
const char* SecurityText(TSecurity security);
// The parts of an address: "alice" and "example.test" of "alice@example.test"; false when
// it is no address (no "@", an empty part, a domain that is no host name).
bool SplitAddress(const std::string& address, std::string& localPart, std::string& domain);

}  // namespace corvane::setup
