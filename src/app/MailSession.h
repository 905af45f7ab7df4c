#pragma once
// What the receive and the send session have in common: the events every mail component
// fires on its way to a connection, the certificate the user may choose to trust, and
// the window closing while an operation is under way.
#include <functional>
#include <string>
#include <utility>

#include "SessionView.h"
#include "ZnSock.h"

class MailSession {
 public:
  // account is the caption of the account's group ("Receive" or "Send"), which the
  // questions about its server name.
  MailSession(TZnSocket& component, SessionView& view, std::string account = "Receive")
      : component_(component), view_(view), account_(std::move(account)) {}
  virtual ~MailSession() = default;
  MailSession(const MailSession&) = delete;
  MailSession& operator=(const MailSession&) = delete;

  // The window is closing: the connection is dropped without the protocol's sign-off, and
  // from then on no event of the component asks or tells anything.
  void Close();
  bool Closing() const { return closing_; }
  // Nobody waits for the operation under way (a retry of the send queue): no box or
  // question is shown, and what would have asked takes its No.
  bool Unattended() const { return closing_ || unattended_; }

  // The component's events.
  void Disconnected();
  void StatusChanged(const std::string& text);
  void HostResolved();
  void ConnectionFailed();
  // Asks whether to connect; on OK connects right there, inside the operation that asked.
  void ConnectionRequired(bool& Handled);
  // Asks for another host; the account's own field keeps its text.
  void InvalidHost(bool& Handled);

 protected:
  // Runs an operation started by a click. An operation that fails after the window closed
  // has nobody left to tell.
  void Quietly(const std::function<void()>& operation);
  // Connects. A refused certificate is shown with its fingerprint; when the user then
  // explicitly trusts it, trusted(fingerprint) keeps it for the account and the connect
  // runs once more. An access token the server refuses is renewed once, when renew is
  // set, and the connect runs again with the fresh one.
  void ConnectTrusting(const std::function<void(const std::string&)>& trusted,
                       const std::function<std::string()>& renew);
  // The password or token the component logs in with.
  virtual void SetSecret(const std::string& secret) = 0;
  // A connect still under way when the window closed, which then succeeds, is dropped as
  // soon as it reports in; true when that happened.
  bool DropIfClosed();

  void connectRenewing(const std::function<std::string()>& renew);

  TZnSocket& component_;
  SessionView& view_;
  const std::string account_;
  bool closing_ = false;
  bool unattended_ = false;
};
