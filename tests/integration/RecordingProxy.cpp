#include "RecordingProxy.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <utility>

RecordingProxy::RecordingProxy(uint16_t targetPort) : target_(targetPort), server_(new QTcpServer(&context_)) {
  server_->listen(QHostAddress::LocalHost, 0);
  QObject::connect(server_, &QTcpServer::newConnection, &context_, [this] {
    while (QTcpSocket* client = server_->nextPendingConnection()) {
      const size_t n = static_cast<size_t>(connections_++);
      carried_.push_back({0, 0});
      wrote_.emplace_back();
      const std::optional<Cut> cut = std::exchange(nextCut_, std::nullopt);
      client->setParent(&context_);
      auto* upstream = new QTcpSocket(&context_);
      // A relay that held short writes back for acknowledgements would add its own delays.
      client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
      QObject::connect(upstream, &QTcpSocket::connected, upstream,
                       [upstream] { upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
      // Passes bytes on one way, unless the cut is reached: then the receiving side gets
      // what fits and a close, the sending side a reset.
      const auto relay = [this, n, cut](QTcpSocket* from, QTcpSocket* to, bool fromClient) {
        QByteArray bytes = from->readAll();
        wrote_[n][fromClient ? 0 : 1].append(bytes.constData(), static_cast<size_t>(bytes.size()));
        size_t& count = carried_[n][fromClient ? 0 : 1];
        const bool cutHere = cut && cut->fromClient == fromClient && count + bytes.size() >= cut->bytes;
        if (cutHere) bytes.truncate(static_cast<qsizetype>(cut->bytes - count));
        count += static_cast<size_t>(bytes.size());
        if (fromClient) sent_.append(bytes.constData(), static_cast<size_t>(bytes.size()));
        to->write(bytes);
        if (!cutHere) return;
        from->abort();
        to->disconnectFromHost();
      };
      QObject::connect(client, &QTcpSocket::readyRead, upstream,
                       [relay, client, upstream] { relay(client, upstream, true); });
      QObject::connect(upstream, &QTcpSocket::readyRead, client,
                       [relay, client, upstream] { relay(upstream, client, false); });
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

void RecordingProxy::CutNext(bool fromClient, size_t bytes) {
  nextCut_ = Cut{fromClient, bytes};
}

std::string RecordingProxy::Wrote(int connection, bool fromClient) const {
  const size_t n = static_cast<size_t>(connection - 1);
  return n < wrote_.size() ? wrote_[n][fromClient ? 0 : 1] : std::string();
}
