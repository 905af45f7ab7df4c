#include "SendSession.h"

#include "OutboxStore.h"

namespace {

void assignLines(TStringList& list, const std::vector<std::string>& lines) {
  list.Clear();
  for (const std::string& line : lines) list.Add(line);
}

}  // namespace

SendSession::SendSession(TZnSMTP& component, SendView& view)
    : MailSession(component, view), smtp_(component), sendView_(view) {}

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

void SendSession::Send(const OutboxMessage& message) {
  TPostMessage& post = smtp_.PostMessage;
  post.FromAddress = message.FromAddress;
  post.FromName = message.FromName;
  post.Subject = message.Subject;
  assignLines(post.ToAddress, message.ToAddress);
  assignLines(post.Attachments, message.Attachments);
  assignLines(post.Body, message.Body);
  Quietly([this] { smtp_.SendMail(); });
}

void SendSession::Connected() {
  view_.Status("Connected");
  DropIfClosed();
}

void SendSession::HeaderIncomplete() {
  if (!closing_) view_.Ask().ShowMessage("Header Incomplete.");
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
  if (!closing_) view_.Ask().ShowMessage("Recipient \"" + recipient + "\" not found");
}

void SendSession::Failed() {
  view_.Status("Failure");
}

void SendSession::Succeeded() {
  view_.Status("Success");
  sendView_.Sent();
}
