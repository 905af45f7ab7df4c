#pragma once
// The send session: connects with the Send group's account, sends a message and reports
// each step; what the server made of the message comes back as an outcome, by which the
// send queue keeps it for another attempt or records it as sent.
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Account.h"
#include "MailSession.h"
#include "Znsmtp.h"

struct QueuedMessage;

// How one attempt to send a message ended.
struct SendOutcome {
  enum Kind {
    Sent,       // the server took the message text (a recipient may have been refused)
    Temporary,  // nothing delivered, and a later attempt may succeed
    Permanent,  // refused for good, or the message cannot go out as it is
    MaybeSent,  // the connection was lost after the end of the text went out
  };
  Kind kind = Permanent;
  std::string reply;                            // what the user reads: the server's reply explained, or the failure
  std::vector<TSmtpRecipientReply> recipients;  // the replies to each RCPT TO
  std::exception_ptr failure;                   // the failure itself, for a caller that shows it
};

class SendSession : public MailSession {
 public:
  SendSession(TZnSMTP& component, SendView& view);
  // The component as the window starts with it.
  static std::unique_ptr<TZnSMTP> NewComponent();

  // renew gives a fresh access token after the server refused one; empty for a password.
  void Connect(const Account& account, const std::function<void(const std::string&)>& trusted,
               const std::function<std::string()>& renew = {});
  void Disconnect();
  // Sends message to its pending recipients over the open connection (or one the user
  // agrees to open); dataEnding runs just before the end of its text goes out, and a
  // failure there ends the send with nothing delivered.
  SendOutcome Send(const QueuedMessage& message, const std::function<void()>& dataEnding = {});
  // The same for a message the user is not waiting for: nothing is asked or shown in a box,
  // and a connection that is not open is opened with account.
  SendOutcome SendUnattended(const QueuedMessage& message, const Account& account,
                             const std::function<void()>& dataEnding);
  // Signs off a connection SendUnattended opened; a failure is of no interest then.
  void SignOffQuietly();

  // The component's events of its own.
  void Connected();
  void HeaderIncomplete();
  void SendStarted();
  void EncodeStarted(const std::string& file);
  void EncodeEnded(const std::string& file);
  void PacketSent();
  void RecipientNotFound(const std::string& recipient);
  // Refused for now: the queue keeps the message for it, and its list says so.
  void RecipientDeferred(const std::string& recipient);
  void Failed();
  void Succeeded();

 private:
  void SetSecret(const std::string& secret) override { smtp_.AuthPassword = secret; }

  SendOutcome deliver(const QueuedMessage& message, const std::function<void()>& dataEnding,
                      const std::function<void()>& connect);
  SendOutcome outcomeOf(std::exception_ptr failure) const;

  TZnSMTP& smtp_;
};
