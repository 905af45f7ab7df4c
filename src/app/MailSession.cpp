#include "MailSession.h"

#include "SaslLogin.h"

void MailSession::Close() {
  closing_ = true;
  component_.Abort();
  // Abort leaves a host lookup or connect under way to its time-out, which would keep the
  // closed program running for up to a minute: cancel those waits as well.
  if (component_.Busy() && !component_.Connected) component_.Cancel();
}

void MailSession::Disconnected() {
  view_.Status("Disconnected");
}

void MailSession::StatusChanged(const std::string& text) {
  view_.Status(text);
}

void MailSession::HostResolved() {
  view_.Status("Host Resolved");
}

void MailSession::ConnectionFailed() {
  if (!Unattended()) view_.Ask().ShowMessage("Connection Failed");
}

void MailSession::ConnectionRequired(bool& Handled) {
  if (Unattended() || !view_.Ask().Confirm("Connection Required. Connect?", TConfirmButtons::OkCancel)) return;
  Handled = true;
  component_.Connect();
}

void MailSession::InvalidHost(bool& Handled) {
  std::string host;
  if (Unattended() || !view_.Ask().InputQuery("Invalid Host!", "Specify a new host:", host)) return;
  component_.Host = host;
  Handled = true;
}

void MailSession::Quietly(const std::function<void()>& operation) {
  closing_ = false;
  try {
    operation();
  } catch (const std::exception&) {
    if (!closing_) throw;
  }
}

void MailSession::connectRenewing(const std::function<std::string()>& renew) {
  try {
    component_.Connect();
  } catch (const corvane::sasl::ELoginRefused& refused) {
    if (!refused.Bearer || !renew || closing_) throw;
    SetSecret(renew());
    component_.Connect();
  }
}

void MailSession::ConnectTrusting(const std::function<void(const std::string&)>& trusted,
                                  const std::function<std::string()>& renew) {
  try {
    connectRenewing(renew);
    return;
  } catch (const ECertificateError& refused) {
    // Nobody is there to compare the fingerprint: an unattended connect never trusts it.
    if (Unattended() || refused.Fingerprint.empty()) throw;
    view_.ShowFailure(refused);
    const std::string question = account_ + " account, server " + component_.Host + " port " +
                                 std::to_string(component_.Port & 0xFFFF) + ":\n\nTrust the certificate of " +
                                 component_.Host + " with the SHA-256 fingerprint\n" + refused.Fingerprint +
                                 "\nfor this account from now on?\n\nAnswer Yes only if the server's administrator "
                                 "confirmed this fingerprint to you.";
    if (!view_.Ask().Confirm(question, TConfirmButtons::YesNo, TDefaultAnswer::No)) return;
    component_.CertFingerprint = refused.Fingerprint;
    trusted(refused.Fingerprint);
  }
  connectRenewing(renew);
}

bool MailSession::DropIfClosed() {
  if (closing_) component_.Abort();
  return closing_;
}
