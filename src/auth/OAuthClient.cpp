#include "OAuthClient.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QOAuth2AuthorizationCodeFlow>
#include <QPointer>
#include <QProcess>
#include <cstdlib>
#include <memory>

#include "Base64.h"
#include "LoopbackReplyHandler.h"
#include "Pkce.h"
#include "Pump.h"

namespace corvane::auth {

namespace {

QString q(const std::string& text) {
  return QString::fromStdString(text);
}

// RFC 8628's error codes while the user has not yet answered.
bool pending(const std::string& error) {
  return error == "authorization_pending" || error == "slow_down";
}

}  // namespace

bool OpenSystemBrowser(const std::string& url) {
  const QByteArray command = qgetenv("CORVANE_BROWSER");
  if (!command.isEmpty()) return QProcess::startDetached(QString::fromLocal8Bit(command), {q(url)});
  return QDesktopServices::openUrl(QUrl(q(url)));
}

std::string AccountOfIdToken(const std::string& idToken) {
  const size_t first = idToken.find('.');
  const size_t second = first == std::string::npos ? first : idToken.find('.', first + 1);
  if (second == std::string::npos) return {};
  std::string payload = idToken.substr(first + 1, second - first - 1);
  for (char& c : payload) c = c == '-' ? '+' : c == '_' ? '/' : c;
  const QJsonObject claims =
      QJsonDocument::fromJson(QByteArray::fromStdString(mime::DecodeBase64(payload, mime::Base64Pad::Skipped)))
          .object();
  for (const char* claim : {"email", "preferred_username"})
    if (const QString value = claims.value(claim).toString(); !value.isEmpty()) return value.toStdString();
  return {};
}

OAuthClient::OAuthClient(const OAuthSettings& settings, OAuthOptions options)
    : s_(Resolved(settings)), o_(std::move(options)) {}

int64_t OAuthClient::now() const {
  return o_.now ? o_.now() : QDateTime::currentMSecsSinceEpoch();
}

void OAuthClient::endWait(bool timedOut, const char* what) const {
  if (!timedOut) throw ESignInCancelled("The sign-in was cancelled.");
  throw Exception(std::string("The sign-in ended: ") + what);
}

Tokens OAuthClient::tokensFrom(const QJsonObject& json, int64_t issuedAt) const {
  Tokens tokens;
  tokens.access = json.value("access_token").toString().toStdString();
  tokens.refresh = json.value("refresh_token").toString().toStdString();
  tokens.account = AccountOfIdToken(json.value("id_token").toString().toStdString());
  // Without a lifetime the token is taken as good for an hour, as providers give.
  const int64_t lifetime = json.value("expires_in").toVariant().toLongLong();
  tokens.expiresAt = issuedAt + (lifetime > 0 ? lifetime : 3600) * 1000;
  return tokens;
}

OAuthClient::Answer OAuthClient::post(const std::string& url, QUrlQuery form) {
  form.addQueryItem("client_id", q(s_.clientId));
  if (!s_.clientSecret.empty()) form.addQueryItem("client_secret", q(s_.clientSecret));
  QNetworkRequest request{QUrl(q(url))};
  request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
  request.setRawHeader("Accept", "application/json");
  const int64_t issuedAt = now();
  // Form encoding: "+" in a token must not arrive as a blank, which QUrlQuery would allow.
  QByteArray body;
  for (const auto& [key, value] : form.queryItems(QUrl::FullyDecoded))
    body += (body.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(key) + "=" + QUrl::toPercentEncoding(value);
  std::unique_ptr<QNetworkReply> reply(network_.post(request, body));
  const PumpEnd end =
      PumpUntil([&] { return reply->isFinished(); }, [this] { return cancelled_; }, o_.requestTimeoutMs);
  if (end != PumpEnd::Done) {
    reply->abort();
    endWait(end == PumpEnd::TimedOut, "the provider did not answer in time.");
  }
  Answer answer;
  answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QJsonObject json = QJsonDocument::fromJson(reply->readAll()).object();
  for (auto it = json.begin(); it != json.end(); ++it)
    answer.fields[it.key().toStdString()] = it.value().toVariant().toString().toStdString();
  answer.error = json.value("error").toString().toStdString();
  if (answer.status == 0) answer.error = "no connection: " + reply->errorString().toStdString();
  if (answer.status == 200 && answer.error.empty()) answer.tokens = tokensFrom(json, issuedAt);
  if (answer.status == 200 && answer.tokens.access.empty()) answer.error = "no access token in the answer";
  return answer;
}

Tokens OAuthClient::Refresh(const std::string& refreshToken) {
  QUrlQuery form;
  form.addQueryItem("grant_type", "refresh_token");
  form.addQueryItem("refresh_token", q(refreshToken));
  Answer answer = post(s_.tokenUrl, form);
  if (answer.error == "invalid_grant")
    throw ERefreshRefused("The sign-in of " + s_.account + " is no longer accepted (it expired or was revoked).");
  if (!answer.error.empty()) throw Exception("Could not renew the sign-in of " + s_.account + ": " + answer.error);
  // A provider that does not rotate refresh tokens sends none back.
  if (answer.tokens.refresh.empty()) answer.tokens.refresh = refreshToken;
  return answer.tokens;
}

Tokens OAuthClient::SignInWithDevice(const std::function<void(const std::string&, const std::string&)>& show) {
  if (s_.deviceUrl.empty()) throw Exception("No browser could be opened, and the provider has no sign-in by code.");
  QUrlQuery form;
  form.addQueryItem("scope", q(s_.scope));
  Answer started = post(s_.deviceUrl, form);
  std::map<std::string, std::string>& f = started.fields;
  // Google names it verification_url.
  const std::string url = f.count("verification_uri") ? f["verification_uri"] : f["verification_url"];
  if (started.status != 200 || f["device_code"].empty() || f["user_code"].empty() || url.empty())
    throw Exception("The provider refused a sign-in by code: " + (started.error.empty() ? "no code" : started.error));
  show(url, f["user_code"]);
  return pollDevice(f["device_code"], std::atoi(f["interval"].c_str()), std::atoi(f["expires_in"].c_str()));
}

Tokens OAuthClient::pollDevice(const std::string& deviceCode, int intervalSeconds, int expiresInSeconds) {
  int interval = intervalSeconds > 0 ? intervalSeconds : 5;  // RFC 8628's default
  // Counted in the server's seconds, so the code's lifetime bounds the polling.
  const int lifetime = expiresInSeconds > 0 ? expiresInSeconds : 900;
  for (int waited = 0; waited < lifetime; waited += interval) {
    const PumpEnd end = PumpUntil([] { return false; }, [this] { return cancelled_; }, interval * o_.pollUnitMs);
    if (end == PumpEnd::Cancelled) endWait(false, "");
    QUrlQuery form;
    form.addQueryItem("grant_type", "urn:ietf:params:oauth:grant-type:device_code");
    form.addQueryItem("device_code", q(deviceCode));
    const Answer answer = post(s_.tokenUrl, form);
    if (answer.error.empty()) return answer.tokens;
    if (answer.error == "slow_down") interval += 5;
    if (answer.error == "access_denied") throw Exception("The sign-in was declined.");
    if (!pending(answer.error)) throw Exception("The sign-in by code failed: " + answer.error);
  }
  throw Exception("The sign-in code expired before it was entered.");
}

Tokens OAuthClient::SignInWithBrowser() {
  LoopbackReplyHandler handler;
  if (!handler.Listening()) throw Exception("The sign-in could not listen on 127.0.0.1 for the browser's answer.");
  QOAuth2AuthorizationCodeFlow flow(&network_);
  flow.setReplyHandler(&handler);
  flow.setAuthorizationUrl(QUrl(q(s_.authUrl)));
  flow.setAccessTokenUrl(QUrl(q(s_.tokenUrl)));
  flow.setClientIdentifier(q(s_.clientId));
  if (!s_.clientSecret.empty()) flow.setClientIdentifierSharedKey(q(s_.clientSecret));
  flow.setScope(q(s_.scope));
  flow.setState(q(RandomToken(16)));
  const Pkce pkce = Pkce::Make();
  flow.setModifyParametersFunction([&pkce](QAbstractOAuth::Stage stage, QMultiMap<QString, QVariant>* parameters) {
    if (stage == QAbstractOAuth::Stage::RequestingAuthorization) {
      parameters->insert("code_challenge", q(pkce.challenge));
      parameters->insert("code_challenge_method", "S256");
    } else if (stage == QAbstractOAuth::Stage::RequestingAccessToken) {
      parameters->insert("code_verifier", q(pkce.verifier));
    }
  });
  handler.ExpectedState = [&flow] { return flow.state(); };
  std::string failure;
  bool granted = false;
  handler.OnRefused = [&failure](const std::string& why) { failure = why; };
  QObject::connect(&flow, &QAbstractOAuth::authorizeWithBrowser, [&](const QUrl& url) {
    if (!o_.openBrowser(url.toString(QUrl::FullyEncoded).toStdString())) failure = "no browser";
  });
  QObject::connect(&flow, &QAbstractOAuth::granted, [&granted] { granted = true; });
  QObject::connect(&flow, &QAbstractOAuth2::error, [&failure](const QString& error, const QString&, const QUrl&) {
    failure = "The sign-in was refused by the provider (" + error.toStdString() + ")";
  });
  const int64_t issuedAt = now();
  flow.grant();
  const PumpEnd end =
      PumpUntil([&] { return granted || !failure.empty(); }, [this] { return cancelled_; }, o_.browserTimeoutMs);
  if (end != PumpEnd::Done) endWait(end == PumpEnd::TimedOut, "no answer came from the browser in time.");
  if (failure == "no browser") throw ENoBrowser("No browser could be opened for the sign-in.");
  if (!failure.empty()) throw Exception(failure);
  Tokens tokens;
  tokens.access = flow.token().toStdString();
  tokens.refresh = flow.refreshToken().toStdString();
  tokens.account = AccountOfIdToken(flow.extraTokens().value("id_token").toString().toStdString());
  const int64_t lifetime = QDateTime::currentDateTime().msecsTo(flow.expirationAt());
  tokens.expiresAt = issuedAt + (flow.expirationAt().isValid() && lifetime > 0 ? lifetime : 3600 * 1000);
  return tokens;
}

}  // namespace corvane::auth
