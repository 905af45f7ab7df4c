#include "SetupFlow.h"

#include <QComboBox>
#include <QLineEdit>

#include "Discovery.h"
#include "QtText.h"

namespace {

std::string describeSide(const char* title, const TServerChoice& choice, const char* user, bool notOffered) {
  if (notOffered) return std::string(title) + ": not offered by this provider\n";
  if (!choice.Found()) return std::string(title) + ": nothing found; the group keeps its values\n";
  std::string text = std::string(title) + ": " + choice.Host + ", port " + std::to_string(choice.Port) + ", " +
                     corvane::setup::SecurityText(choice.Security);
  text += choice.UserName.empty() ? std::string(", no login") : ", " + std::string(user) + " " + choice.UserName;
  if (choice.SignIn == kSignInOAuth2)
    text += ", sign-in with OAuth 2.0" + (choice.OAuthProvider.empty() ? "" : " (" + choice.OAuthProvider + ")");
  return text + "\n    from " + choice.Origin + "\n";
}

void showSide(QLineEdit* host, QLineEdit* port, QComboBox* security, const TServerChoice& choice) {
  // The Security choice first: a changed choice moves a port left at its default.
  security->setCurrentIndex(SecurityIndex(choice.Security));
  corvane::SetText(host, choice.Host);
  corvane::SetText(port, std::to_string(choice.Port));
}

}  // namespace

std::string DescribeSetup(const TDiscoveryResult& result) {
  std::string text = "Corvane found these settings for " + result.Address + ":\n\n";
  text += describeSide("Receive (POP3)", result.Receive, "user", result.NoPop3 && !result.Receive.Found());
  text += describeSide("Send (SMTP)", result.Send, "login", false);
  for (const std::string& note : result.Notes) text += "\n" + note;
  return text + "\n\nFill in the Connect page with these values?";
}

void ApplySetup(TpopformControls& controls, const TDiscoveryResult& result, const std::string& password) {
  if (result.Receive.Found()) {
    showSide(controls.inHost, controls.inPort, controls.inSecurity, result.Receive);
    corvane::SetText(controls.inUserID, result.Receive.UserName);
    if (!password.empty()) corvane::SetText(controls.inPassword, password);
  }
  if (result.Send.Found()) {
    showSide(controls.outhost, controls.outport, controls.outSecurity, result.Send);
    corvane::SetText(controls.outAuthUser, result.Send.UserName);
    corvane::SetText(controls.localemail, result.Address);
    if (!password.empty() && !result.Send.UserName.empty()) corvane::SetText(controls.outAuthPassword, password);
  }
  // The provider's way to sign in; the password stays in its field for a switch back to it
  // (an app password, say).
  for (const AccountSide side : {AccountSide::Receive, AccountSide::Send}) {
    const TServerChoice& choice = side == AccountSide::Receive ? result.Receive : result.Send;
    if (choice.Found()) controls.ShowSignInChoice(side, choice.SignIn == kSignInOAuth2, choice.OAuthProvider);
  }
}

bool SetupFlow::Run() {
  if (running_) return false;
  std::string address, password;
  if (!dialogs_.AskAccountAddress(address, password)) return false;
  running_ = true;
  struct Done {
    SetupFlow& flow;
    ~Done() {
      flow.running_ = false;
      flow.cancel_ = nullptr;
    }
  } done{*this};
  TDiscovery discovery(Options);
  cancel_ = [&discovery] { discovery.Cancel(); };
  TDiscoveryResult result;
  {
    auto box = dialogs_.ShowProgress("Set up from address", "Looking up the servers of " + address,
                                     [&discovery] { discovery.Cancel(); });
    discovery.OnProgress = [&box](const std::string& text) { box->SetText(text); };
    result = discovery.Run(address);
  }
  if (discovery.Canceled()) return false;
  if (result.Empty() && !result.NoPop3) {
    std::string text = "No servers found for " + address + ". Please fill in the Connect page by hand.";
    for (const std::string& note : result.Notes) text += "\n" + note;
    dialogs_.ShowMessage(text);
    return false;
  }
  if (!dialogs_.Confirm(DescribeSetup(result), TConfirmButtons::OkCancel)) return false;
  ApplySetup(controls_, result, password);
  return true;
}

void SetupFlow::Cancel() {
  if (cancel_) cancel_();
}
