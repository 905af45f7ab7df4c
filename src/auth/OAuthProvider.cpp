#include "OAuthProvider.h"

namespace corvane::auth {

namespace {

// Both accept one token for POP3 and SMTP; offline_access or its like brings the refresh
// token, openid and email the account's address in the ID token.
const OAuthSettings kGoogle{"Google",
                            "",
                            "",
                            "https://accounts.google.com/o/oauth2/v2/auth",
                            "https://oauth2.googleapis.com/token",
                            "https://oauth2.googleapis.com/device/code",
                            "https://mail.google.com/ openid email",
                            ""};
const OAuthSettings kMicrosoft{"Microsoft",
                               "",
                               "",
                               "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
                               "https://login.microsoftonline.com/common/oauth2/v2.0/token",
                               "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
                               "https://outlook.office.com/POP.AccessAsUser.All "
                               "https://outlook.office.com/SMTP.Send offline_access openid email",
                               ""};

void fill(std::string& value, const std::string& preset) {
  if (value.empty()) value = preset;
}

}  // namespace

OAuthSettings Resolved(const OAuthSettings& settings) {
  OAuthSettings out = settings;
  const OAuthSettings* preset = settings.provider == "Google"      ? &kGoogle
                                : settings.provider == "Microsoft" ? &kMicrosoft
                                                                   : nullptr;
  if (!preset) return out;
  fill(out.authUrl, preset->authUrl);
  fill(out.tokenUrl, preset->tokenUrl);
  fill(out.deviceUrl, preset->deviceUrl);
  fill(out.scope, preset->scope);
  return out;
}

std::string MissingForSignIn(const OAuthSettings& resolved) {
  if (resolved.clientId.empty()) return "OAuthClientId";
  if (resolved.tokenUrl.empty()) return "OAuthTokenUrl";
  if (resolved.authUrl.empty() && resolved.deviceUrl.empty()) return "OAuthAuthUrl";
  return {};
}

std::string RefreshTokenKey(const OAuthSettings& resolved) {
  return "oauth " + resolved.tokenUrl + " " + resolved.clientId + " " + resolved.account;
}

}  // namespace corvane::auth
