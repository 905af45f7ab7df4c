#include "OAuthProvider.h"

#include <QUrl>

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
                            "",
                            "XOAUTH2"};
const OAuthSettings kMicrosoft{"Microsoft",
                               "",
                               "",
                               "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
                               "https://login.microsoftonline.com/common/oauth2/v2.0/token",
                               "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode",
                               "https://outlook.office.com/POP.AccessAsUser.All "
                               "https://outlook.office.com/SMTP.Send offline_access openid email",
                               "",
                               "XOAUTH2"};

void fill(std::string& value, const std::string& preset) {
  if (value.empty()) value = preset;
}

}  // namespace

OAuthSettings Resolved(const OAuthSettings& settings) {
  OAuthSettings out = settings;
  const OAuthSettings* preset = settings.provider == "Google"      ? &kGoogle
                                : settings.provider == "Microsoft" ? &kMicrosoft
                                                                   : nullptr;
  out.mechanism = preset ? preset->mechanism : "OAUTHBEARER";
  if (!preset) return out;
  fill(out.authUrl, preset->authUrl);
  fill(out.tokenUrl, preset->tokenUrl);
  fill(out.deviceUrl, preset->deviceUrl);
  fill(out.scope, preset->scope);
  return out;
}

namespace {
// Tokens, codes and client secrets go only over TLS, or to a server on this machine: the
// host itself is compared, so "http://localhost.example.org" is not taken for this machine.
bool safe(const std::string& url) {
  if (url.empty()) return true;
  const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
  if (!parsed.isValid()) return false;
  const QString scheme = parsed.scheme().toLower(), host = parsed.host().toLower();
  return scheme == "https" || (scheme == "http" && (host == "127.0.0.1" || host == "::1" || host == "localhost"));
}
}  // namespace

std::string MissingForSignIn(const OAuthSettings& resolved) {
  if (resolved.clientId.empty()) return "OAuthClientId";
  if (resolved.tokenUrl.empty()) return "OAuthTokenUrl";
  if (resolved.authUrl.empty() && resolved.deviceUrl.empty()) return "OAuthAuthUrl";
  for (const std::string* url : {&resolved.authUrl, &resolved.tokenUrl, &resolved.deviceUrl})
    if (!safe(*url)) return *url;
  return {};
}

std::string RefreshTokenKey(const OAuthSettings& resolved) {
  return "oauth " + resolved.tokenUrl + " " + resolved.clientId + " " + resolved.account;
}

}  // namespace corvane::auth
