#include "HttpsFetch.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <memory>

#include "Resolver.h"

namespace {

constexpr int kMaxRedirects = 3;
constexpr qint64 kMaxBody = 1 << 20;  // far beyond any autoconfig document

QSslConfiguration trust(std::string& problem) {
  QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
  configuration.setProtocol(QSsl::TlsV1_2OrLater);
  const QString extra = qEnvironmentVariable(kExtraCaVariable);
  if (!extra.isEmpty() && !configuration.addCaCertificates(extra))
    problem = "Cannot read trusted certificates from " + extra.toStdString();
  return configuration;
}

}  // namespace

THttpsFetch::THttpsFetch(TStepRunner& steps) : steps_(steps) {
  manager_.setProxy(QNetworkProxy::NoProxy);
}

std::optional<std::string> THttpsFetch::Get(const std::string& text, std::string* why) {
  std::string reason = "no answer";
  QUrl url(QString::fromStdString(text));
  for (int redirects = 0; redirects <= kMaxRedirects && url.scheme() == "https"; ++redirects) {
    steps_.BeginStep();
    const std::string host = url.host().toStdString();
    std::vector<TNetAddress> addresses;
    if (const auto literal = TNetAddress::Parse(host)) {
      addresses.push_back(*literal);
    } else {
      const auto answer =
          steps_.OnWorker<corvane::dns::TAddressAnswer>([host] { return corvane::dns::LookupAddresses(host); });
      if (answer) addresses = corvane::net::InterleaveFamilies(answer->Addresses);
      if (addresses.empty()) reason = host + " has no address";
    }
    QUrl next;
    std::string body;
    Outcome outcome = Outcome::Unreachable;
    for (const TNetAddress& address : addresses) {
      outcome = ask(url, address, body, next, reason);
      if (outcome != Outcome::Unreachable || steps_.Expired()) break;
    }
    if (outcome == Outcome::Body) return body;
    if (outcome != Outcome::Redirect) break;
    url = next;
  }
  if (url.scheme() != "https") reason = "a redirect left HTTPS";
  if (why) *why = reason;
  return std::nullopt;
}

THttpsFetch::Outcome THttpsFetch::ask(const QUrl& url, const TNetAddress& address, std::string& body, QUrl& next,
                                      std::string& why) {
  QUrl direct = url;
  direct.setHost(QString::fromStdString(address.Text()));
  QNetworkRequest request(direct);
  // The connection goes to the address found here; the name stays what the server and
  // its certificate answer to.
  const QString port = url.port() > 0 ? ":" + QString::number(url.port()) : QString();
  request.setRawHeader("Host", (url.host(QUrl::FullyEncoded) + port).toLatin1());
  request.setPeerVerifyName(url.host());
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  std::string problem;
  request.setSslConfiguration(trust(problem));
  if (!problem.empty()) {
    why = problem;
    return Outcome::Refused;
  }
  std::unique_ptr<QNetworkReply> reply(manager_.get(request));
  QObject::connect(reply.get(), &QNetworkReply::downloadProgress, reply.get(), [raw = reply.get()](qint64 received) {
    if (received > kMaxBody) raw->abort();
  });
  if (!steps_.Wait([&reply] { return reply->isFinished(); }, [&reply] { reply->abort(); })) {
    why = url.host().toStdString() + " did not answer in time";
    return Outcome::Unreachable;
  }
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (reply->error() != QNetworkReply::NoError && status == 0) {
    why = reply->errorString().toStdString();
    const bool connectionFailed =
        reply->error() == QNetworkReply::ConnectionRefusedError || reply->error() == QNetworkReply::HostNotFoundError ||
        reply->error() == QNetworkReply::TimeoutError || reply->error() == QNetworkReply::UnknownNetworkError;
    return connectionFailed ? Outcome::Unreachable : Outcome::Refused;
  }
  if (status >= 300 && status < 400) {
    next = url.resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
    return Outcome::Redirect;
  }
  if (status != 200) {
    why = url.toString().toStdString() + " answered " + std::to_string(status);
    return Outcome::Refused;
  }
  body = reply->readAll().toStdString();
  return Outcome::Body;
}
