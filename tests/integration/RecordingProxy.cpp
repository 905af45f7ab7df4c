#include "RecordingProxy.h"

#include <QTcpServer>
#include <QTcpSocket>

RecordingProxy::RecordingProxy(uint16_t targetPort) : target_(targetPort), server_(new QTcpServer(&context_)) {
  server_->listen(QHostAddress::LocalHost, 0);
  QObject::connect(server_, &QTcpServer::newConnection, &context_, [this] {
    while (QTcpSocket* client = server_->nextPendingConnection()) {
      ++connections_;
      client->setParent(&context_);
      auto* upstream = new QTcpSocket(&context_);
      QObject::connect(client, &QTcpSocket::readyRead, upstream, [this, client, upstream] {
        const QByteArray bytes = client->readAll();
        sent_.append(bytes.constData(), static_cast<size_t>(bytes.size()));
        upstream->write(bytes);
      });
      QObject::connect(upstream, &QTcpSocket::readyRead, client,
                       [client, upstream] { client->write(upstream->readAll()); });
      QObject::connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
      QObject::connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
      // Writes made while still connecting are buffered and go out once connected.
      upstream->connectToHost(QHostAddress::LocalHost, target_);
    }
  });
}

RecordingProxy::~RecordingProxy() = default;

uint16_t RecordingProxy::Port() const {
  return server_->serverPort();
}

std::vector<std::string> RecordingProxy::Commands() const {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = sent_.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(sent_.substr(start, end - start));
  if (start < sent_.size()) lines.push_back(sent_.substr(start));
  return lines;
}

void RecordingProxy::DropAll() {
  for (QTcpSocket* socket : context_.findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) socket->abort();
}
