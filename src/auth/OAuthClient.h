#pragma once
// The OAuth 2.0 sign-in of one account: the authorization code flow with PKCE through the
// system browser and a loopback redirect (Qt's code flow), the device authorization grant
// (RFC 8628) where no browser opens, and the refresh of an access token. Every wait runs
// the event loop with a bound and ends on Cancel.
#include <QNetworkAccessManager>
#include <QUrlQuery>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Exceptions.h"
#include "OAuthProvider.h"

class QJsonObject;

namespace corvane::auth {

struct Tokens {
  std::string access;
  std::string refresh;
  std::string account;    // the address the ID token names; empty when none came
  int64_t expiresAt = 0;  // ms since the epoch on the client's clock
};

// The provider refused the refresh token (revoked, expired): only a new sign-in helps.
class ERefreshRefused : public Exception {
 public:
  using Exception::Exception;
};

// The user ended the sign-in.
class ESignInCancelled : public Exception {
 public:
  using Exception::Exception;
};

// No browser could be opened: the sign-in by code may go instead.
class ENoBrowser : public Exception {
 public:
  using Exception::Exception;
};

// Opens url for the user; false when no browser could be opened.
using BrowserOpener = std::function<bool(const std::string& url)>;
// The desktop's browser, or the command CORVANE_BROWSER names, run with the URL.
bool OpenSystemBrowser(const std::string& url);

struct OAuthOptions {
  BrowserOpener openBrowser = OpenSystemBrowser;
  std::function<int64_t()> now;  // ms since the epoch; the system clock when empty
  int pollUnitMs = 1000;         // one second of the device flow's polling interval
  int browserTimeoutMs = 5 * 60 * 1000;
  int requestTimeoutMs = 60 * 1000;
};

class OAuthClient {
 public:
  OAuthClient(const OAuthSettings& settings, OAuthOptions options);

  Tokens SignInWithBrowser();
  // show tells the user where to go and which code to enter.
  Tokens SignInWithDevice(const std::function<void(const std::string& url, const std::string& code)>& show);
  Tokens Refresh(const std::string& refreshToken);
  // Ends the waiting sign-in or request, which then raises ESignInCancelled.
  void Cancel() { cancelled_ = true; }

 private:
  struct Answer {
    int status = 0;
    std::string error;  // the OAuth error code, or a transport failure
    Tokens tokens;
    std::map<std::string, std::string> fields;  // the answer's strings and numbers
  };
  Answer post(const std::string& url, QUrlQuery form);
  Tokens tokensFrom(const QJsonObject& json, int64_t issuedAt) const;
  int64_t now() const;
  // The wait's bound passed or the user cancelled: raise accordingly.
  void endWait(bool timedOut, const char* what) const;
  // Polls the token endpoint for a device code until the user answered.
  Tokens pollDevice(const std::string& deviceCode, int intervalSeconds, int expiresInSeconds);

  OAuthSettings s_;
  OAuthOptions o_;
  QNetworkAccessManager network_;
  bool cancelled_ = false;
};

// The account an ID token names (its "email", else "preferred_username"); empty when
// there is none to read. The token is not checked: the mail server checks the access token.
std::string AccountOfIdToken(const std::string& idToken);

}  // namespace corvane::auth
