#pragma once
// The send session: connects with the Send group's account, sends what the Write Mail page
// holds and reports each step; a message the server accepted is recorded by the view.
#include <functional>
#include <string>

#include "Account.h"
#include "MailSession.h"
#include "Znsmtp.h"

struct OutboxMessage;

class SendSession : public MailSession {
 public:
  SendSession(TZnSMTP& component, SendView& view);

  // renew gives a fresh access token after the server refused one; empty for a password.
  void Connect(const Account& account, const std::function<void(const std::string&)>& trusted,
               const std::function<std::string()>& renew = {});
  void Disconnect();
  // Sends message over the open connection (or one the user agrees to open).
  void Send(const OutboxMessage& message);

  // The component's events of its own.
  void Connected();
  void HeaderIncomplete();
  void SendStarted();
  void EncodeStarted(const std::string& file);
  void EncodeEnded(const std::string& file);
  void PacketSent();
  void RecipientNotFound(const std::string& recipient);
  void Failed();
  void Succeeded();

 private:
  void SetSecret(const std::string& secret) override { smtp_.AuthPassword = secret; }
  TZnSMTP& smtp_;
  SendView& sendView_;
};
