#pragma once
// The redirect target of a browser sign-in (RFC 8252): a listener on 127.0.0.1 at a port
// the system picks. Only a request that came for that very address is taken: one naming
// another host (a page of some other site that reaches the loopback port, as with DNS
// rebinding) or carrying a state this sign-in did not send ends the sign-in unanswered.
// The token reply is read by Qt's own handler; a refusal there is reported, not dropped.
#include <QOAuthOobReplyHandler>
#include <QTcpServer>
#include <functional>
#include <string>

namespace corvane::auth {

class LoopbackReplyHandler : public QOAuthOobReplyHandler {
 public:
  LoopbackReplyHandler();
  bool Listening() const { return server_.isListening(); }
  quint16 Port() const { return server_.serverPort(); }
  QString callback() const override;
  void networkReplyFinished(QNetworkReply* reply) override;

  // The state the redirect must carry.
  std::function<QString()> ExpectedState;
  // A redirect or token reply that ends the sign-in, with a text for the user.
  std::function<void(const std::string&)> OnRefused;

 private:
  void serve(QTcpSocket* socket);
  // The request head, once complete: "" until then, "refuse" for one past the bound.
  void answer(QTcpSocket* socket, const QByteArray& head);
  void refuse(const std::string& why);

  QTcpServer server_;
};

}  // namespace corvane::auth
