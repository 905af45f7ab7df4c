#include "LoopbackReplyHandler.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>
#include <QTcpSocket>
#include <QUrlQuery>

namespace corvane::auth {

namespace {

// A browser's request head is a few hundred bytes; anything this long is not one.
constexpr int kMaxHead = 16384;

void reply(QTcpSocket* socket, const char* status, const char* text) {
  const QByteArray body = QByteArray("<html><body><p>") + text + "</p></body></html>";
  socket->write(QByteArray("HTTP/1.1 ") + status +
                "\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
                QByteArray::number(body.size()) + "\r\n\r\n" + body);
  socket->disconnectFromHost();
}

QByteArray headerOf(const QList<QByteArray>& lines, const QByteArray& name) {
  for (const QByteArray& line : lines) {
    const int colon = line.indexOf(':');
    if (colon > 0 && line.left(colon).trimmed().toLower() == name) return line.mid(colon + 1).trimmed();
  }
  return {};
}

}  // namespace

LoopbackReplyHandler::LoopbackReplyHandler() {
  server_.listen(QHostAddress::LocalHost, 0);
  QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
    while (QTcpSocket* socket = server_.nextPendingConnection()) serve(socket);
  });
}

QString LoopbackReplyHandler::callback() const {
  return QStringLiteral("http://127.0.0.1:%1/").arg(Port());
}

void LoopbackReplyHandler::serve(QTcpSocket* socket) {
  QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
    const QByteArray head = socket->peek(kMaxHead + 1);
    if (head.size() > kMaxHead) return reply(socket, "431 Request Header Fields Too Large", "Refused.");
    if (!head.contains("\r\n\r\n")) return;
    socket->readAll();
    answer(socket, head.left(head.indexOf("\r\n\r\n")));
  });
}

void LoopbackReplyHandler::answer(QTcpSocket* socket, const QByteArray& head) {
  const QList<QByteArray> lines = head.split('\n');
  const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
  const QUrl target(QString::fromLatin1(request.value(1)));
  if (request.value(0) != "GET" || target.path() != "/") return reply(socket, "404 Not Found", "Nothing here.");
  if (headerOf(lines, "host") != "127.0.0.1:" + QByteArray::number(Port())) {
    reply(socket, "400 Bad Request", "Refused: this page did not come from the sign-in.");
    return refuse("The sign-in was refused: an answer came from another site than the sign-in page.");
  }
  const QUrlQuery query(target);
  if (!ExpectedState || query.queryItemValue("state", QUrl::FullyDecoded) != ExpectedState()) {
    reply(socket, "400 Bad Request", "Refused: this answer does not belong to the sign-in Corvane started.");
    return refuse("The sign-in was refused: its answer did not belong to the sign-in Corvane started.");
  }
  reply(socket, "200 OK", "Corvane has the sign-in. You may close this page.");
  QVariantMap values;
  for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) values.insert(key, value);
  Q_EMIT callbackReceived(values);
}

void LoopbackReplyHandler::refuse(const std::string& why) {
  if (OnRefused) OnRefused(why);
}

void LoopbackReplyHandler::networkReplyFinished(QNetworkReply* reply) {
  if (reply->error() == QNetworkReply::NoError) return QOAuthOobReplyHandler::networkReplyFinished(reply);
  const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
  const QString error = answer.value("error").toString();
  refuse("The sign-in was refused by the provider" +
         (error.isEmpty() ? ": " + reply->errorString().toStdString() : " (" + error.toStdString() + ")"));
}

}  // namespace corvane::auth
