#include "SendSession.h"

#include "QueueStore.h"
#include "SmtpReply.h"

namespace {

void assignLines(TStringList& list, const std::vector<std::string>& lines) {
  list.Clear();
  for (const std::string& line : lines) list.Add(line);
}

// Sets a component event for the time of one send.
class ScopedEvent {
 public:
  ScopedEvent(TNotifyEvent& event, const std::function<void()>& handler) : event_(event), saved_(event) {
    event_ = handler ? TNotifyEvent([handler](TObject*) { handler(); }) : TNotifyEvent();
  }
  ~ScopedEvent() { event_ = saved_; }
  ScopedEvent(const ScopedEvent&) = delete;
  ScopedEvent& operator=(const ScopedEvent&) = delete;

 private:
  TNotifyEvent& event_;
  TNotifyEvent saved_;
};

std::string textOf(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace

SendSession::SendSession(TZnSMTP& component, SendView& view) : MailSession(component, view, "Send"), smtp_(component) {}

std::unique_ptr<TZnSMTP> SendSession::NewComponent() {
  auto component = std::make_unique<TZnSMTP>();
  component->Port = 25;
  component->TimeOut = 60000;
  component->ReportLevel = 0;
  component->PostMessage.LocalProgram = "Corvane 1.0";
  component->EncodeType = uuMime;
  component->ClearParams = true;
  component->SubType = mtPlain;
  return component;
}

void SendSession::Connect(const Account& account, const std::function<void(const std::string&)>& trusted,
                          const std::function<std::string()>& renew) {
  account.Configure(smtp_);
  smtp_.UserID = account.userId;
  smtp_.AuthUser = account.loginUser;
  smtp_.AuthPassword = account.loginPassword;
  smtp_.BearerToken = account.OAuth2();
  smtp_.PreferXOAuth2 = corvane::auth::Resolved(account.OAuth()).mechanism == "XOAUTH2";
  smtp_.AllowPlainLogin = account.PlainLoginAllowed();
  Quietly([&] { ConnectTrusting(trusted, account.OAuth2() ? renew : nullptr); });
}

void SendSession::Disconnect() {
  smtp_.Disconnect();
}

SendOutcome SendSession::Send(const QueuedMessage& message, const std::function<void()>& dataEnding) {
  unattended_ = false;
  return deliver(message, dataEnding, {});
}

SendOutcome SendSession::SendUnattended(const QueuedMessage& message, const Account& account,
                                        const std::function<void()>& dataEnding) {
  unattended_ = true;
  SendOutcome outcome = deliver(message, dataEnding, [&] {
    if (smtp_.Connected) return;
    account.Configure(smtp_);
    smtp_.UserID = account.userId;
    smtp_.AuthUser = account.loginUser;
    smtp_.AuthPassword = account.loginPassword;
    smtp_.Connect();
  });
  unattended_ = false;
  return outcome;
}

void SendSession::SignOffQuietly() {
  try {
    smtp_.Disconnect();
  } catch (const std::exception&) {
  }
}

SendOutcome SendSession::deliver(const QueuedMessage& message, const std::function<void()>& dataEnding,
                                 const std::function<void()>& connect) {
  TPostMessage& post = smtp_.PostMessage;
  post.FromAddress = message.Fields.FromAddress;
  post.FromName = message.Fields.FromName;
  post.Subject = message.Fields.Subject;
  post.MessageID = message.MessageID;
  post.Date = message.Date;
  post.InReplyTo = message.InReplyTo;
  post.References = message.References;
  assignLines(post.ToAddress, message.Fields.ToAddress);
  assignLines(post.Attachments, message.Fields.Attachments);
  assignLines(post.Body, message.Fields.Body);
  // Those that have the message already are not sent it again.
  const std::vector<std::string> pending = message.PendingRecipients();
  assignLines(post.Envelope, pending.size() < message.Fields.ToAddress.size() ? pending : std::vector<std::string>{});
  const ScopedEvent ending(smtp_.OnDataEnding, dataEnding);
  if (smtp_.Busy()) {
    SendOutcome busy;
    busy.kind = SendOutcome::Temporary;
    busy.reply = "Another operation of the connection was under way";
    return busy;
  }
  try {
    if (connect) connect();
    // A message that every recipient has is not sent again; one without recipients goes
    // to the component, which says what is missing.
    if (!pending.empty() || message.Fields.ToAddress.empty()) {
      closing_ = false;
      smtp_.SendMail();
    }
  } catch (const std::exception&) {
    return outcomeOf(std::current_exception());
  }
  SendOutcome outcome;
  const TSmtpSendReport& report = smtp_.LastSend();
  outcome.kind = report.Accepted ? SendOutcome::Sent : SendOutcome::Permanent;
  outcome.reply = report.Accepted ? report.Reply : "No recipient left to send to";
  outcome.recipients = report.Recipients;
  return outcome;
}

// A lost connection or a reply of the 4xx kind may mend by itself; a refusal of the 5xx
// kind and a failure here (a missing file, an incomplete header) will not.
SendOutcome SendSession::outcomeOf(std::exception_ptr failure) const {
  using corvane::smtp::ClassOf;
  using corvane::smtp::ReplyClass;
  const TSmtpSendReport& report = smtp_.LastSend();
  SendOutcome outcome;
  outcome.failure = failure;
  outcome.recipients = report.Recipients;
  outcome.reply = report.Code != 0 ? corvane::smtp::ExplainReply(report.Reply, smtp_.Extensions().enhancedStatusCodes)
                                   : std::string(corvane::WithoutLineBreaks(textOf(failure)));
  bool transient = ClassOf(report.Code) == ReplyClass::Transient;
  try {
    std::rethrow_exception(failure);
  } catch (const ESockError&) {
    outcome.kind = report.DataEndSent ? SendOutcome::MaybeSent : SendOutcome::Temporary;
    return outcome;
  } catch (const std::exception&) {
    // A greeting refused for now comes as its reply line.
    transient =
        transient || (report.Code == 0 && ClassOf(corvane::ReplyCodeOf(outcome.reply)) == ReplyClass::Transient);
  }
  // With every recipient refused, one refused for now keeps the message for another try.
  for (const TSmtpRecipientReply& recipient : report.Recipients)
    transient = transient || ClassOf(recipient.Code) == ReplyClass::Transient;
  outcome.kind = transient ? SendOutcome::Temporary : SendOutcome::Permanent;
  return outcome;
}

void SendSession::Connected() {
  view_.Status("Connected");
  DropIfClosed();
}

void SendSession::HeaderIncomplete() {
  if (!Unattended()) view_.Ask().ShowMessage("Header Incomplete.");
}

void SendSession::SendStarted() {
  view_.Status("Sending message");
}

void SendSession::EncodeStarted(const std::string& file) {
  view_.Status("Encoding " + file);
}

void SendSession::EncodeEnded(const std::string& file) {
  view_.Status("Finished encoding " + file);
}

void SendSession::PacketSent() {
  view_.Status(std::to_string(smtp_.BytesSent) + " bytes of " + std::to_string(smtp_.BytesTotal) + " sent");
}

void SendSession::RecipientNotFound(const std::string& recipient) {
  if (!Unattended()) view_.Ask().ShowMessage("Recipient \"" + recipient + "\" not found");
}

void SendSession::RecipientDeferred(const std::string& recipient) {
  view_.Status("Recipient \"" + recipient + "\" refused for now: the message waits in the queue for it");
}

void SendSession::Failed() {
  view_.Status("Failure");
}

void SendSession::Succeeded() {
  view_.Status("Success");
}
