#pragma once
// Where an account signs in with OAuth 2.0: the presets for Google and Microsoft and a
// custom issuer, with the client the user registered there. Corvane has no client ID of
// its own.
#include <string>

namespace corvane::auth {

// The provider texts as the settings file keeps them, in the order of the sign-in choice.
inline constexpr const char* kProviderNames[] = {"Google", "Microsoft", "Custom"};

struct OAuthSettings {
  std::string provider;  // one of kProviderNames; anything else counts as "Custom"
  std::string clientId;
  std::string clientSecret;  // where the provider wants one even from a desktop program
  std::string authUrl;       // for "Custom"; the presets bring their own
  std::string tokenUrl;
  std::string deviceUrl;
  std::string scope;
  std::string account;  // the account signed in as
  // The SASL mechanism the provider's servers want first: Microsoft's take only XOAUTH2;
  // OAUTHBEARER (RFC 7628) for an issuer of the user's own.
  std::string mechanism;
};

// The endpoints and scope to use: the preset's, or the settings' own for "Custom". A
// preset's value given in the settings takes precedence, so an organisation may point
// Microsoft at its own tenant.
OAuthSettings Resolved(const OAuthSettings& settings);

// Empty when the settings are enough to sign in, else the missing key, or the address that
// would carry a secret without TLS (only https, or http to the machine itself).
std::string MissingForSignIn(const OAuthSettings& resolved);

// The key of the account's refresh token: one issuer, client and account share one, so a
// sign-in serves receiving and sending alike where the provider allows.
std::string RefreshTokenKey(const OAuthSettings& resolved);

}  // namespace corvane::auth
