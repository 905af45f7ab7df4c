#pragma once
// The largest providers, known without asking the network: their POP3 and submission
// servers as they publish them, and how one signs in there.
#include <string>
#include <vector>

#include "SetupResult.h"

struct TKnownServer {
  const char* Host;  // null: the provider offers no such server
  uint16_t Port;
  TSecurity Security;
};

struct TProvider {
  const char* Name;
  std::vector<const char*> Domains;     // the addresses' domains it serves
  std::vector<const char*> MxSuffixes;  // its mail exchangers' names end so (hosted domains)
  TKnownServer Pop3;
  TKnownServer Submission;
  const char* SignIn;         // kSignInPassword or kSignInOAuth2
  const char* OAuthProvider;  // for OAuth 2.0: "Google" or "Microsoft"
};

namespace corvane::setup {

const std::vector<TProvider>& KnownProviders();
// The provider of an address's domain, or of a mail exchanger's host name; null when
// none is known.
const TProvider* ProviderForDomain(const std::string& domain);
const TProvider* ProviderForMailExchanger(const std::string& host);
// Both sides filled from the provider's entry for the address.
void FillFromProvider(const TProvider& provider, const std::string& address, const std::string& origin,
                      TDiscoveryResult& result);

}  // namespace corvane::setup
