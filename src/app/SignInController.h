#pragma once
// What an account signs in with beyond its fields: the OAuth 2.0 sign-in of each group
// (the browser, else a code to enter elsewhere), its access tokens, renewed before they
// expire and once more when a server refuses one, its refresh token in the keyring, and
// the passwords when the user keeps them there. No widget: the window shows what the
// view is told.
#include <array>
#include <memory>
#include <string>

#include "Account.h"
#include "Dialogs.h"
#include "OAuthClient.h"
#include "SecretStore.h"

class SignInView {
 public:
  virtual ~SignInView() = default;
  virtual Dialogs& Ask() = 0;
  virtual void Status(const std::string& text) = 0;
  // The group's Sign in button: the account signed in as, or "" for none yet.
  virtual void ShowSignedIn(AccountSide side, const std::string& account) = 0;
};

class SignInController {
 public:
  SignInController(SignInView& view, corvane::auth::SecretStore& secrets, corvane::auth::OAuthOptions options);

  // The account as the settings file gave it: what the group has no field for is kept here.
  void Keep(AccountSide side, const Account& loaded);
  // Fills in what the group has no field for.
  void Complete(AccountSide side, Account& account) const;

  // Before a connect: an OAuth 2.0 account gets its login name and a usable access token
  // as its password, after a sign-in when it has none. Raises when the user gave up.
  void Prepare(AccountSide side, Account& account);
  // The same for a check nobody clicked for: a stored refresh token may renew the access
  // token, but nothing is asked and no browser opens; raises where only the user can help.
  void PrepareUnattended(AccountSide side, Account& account);
  // A sign-in or a renewal is waiting for the issuer or the browser.
  bool Running() const { return running_ != nullptr; }
  // The server refused the access token: a fresh one, or a raise when there is none.
  std::string Renewed(AccountSide side);
  // The Sign in button: signs in anew, or ends a sign-in under way.
  void Clicked(AccountSide side, const Account& account);
  // The window closes: a sign-in under way ends.
  void Cancel();
  // The browser, the clock and the polling pace of the sign-ins.
  void SetOptions(corvane::auth::OAuthOptions options) { options_ = std::move(options); }

  // Passwords in the keyring ([INBOX] KeyringPasswords): read into the account after
  // loading, stored from it on saving; the copy written to the settings file has none.
  void FetchPasswords(AccountSide side, Account& account);
  Account StorePasswords(AccountSide side, const Account& account);

 private:
  struct Session {
    Account kept;
    corvane::auth::Tokens tokens;
  };
  corvane::auth::OAuthSettings settingsFor(AccountSide side, const Account& account);
  std::string token(AccountSide side, const Account& account);
  bool usable(const corvane::auth::Tokens& tokens) const;
  // From the stored refresh token; false when there is none.
  bool refresh(AccountSide side, const corvane::auth::OAuthSettings& settings);
  void signIn(AccountSide side, const Account& account);
  corvane::auth::Tokens interactive(const corvane::auth::OAuthSettings& settings);
  // The same issuer and client on the other side, not yet signed in, shares this sign-in.
  void share(AccountSide side);

  SignInView& view_;
  corvane::auth::SecretStore& secrets_;
  corvane::auth::OAuthOptions options_;
  std::array<Session, 2> sessions_;
  corvane::auth::OAuthClient* running_ = nullptr;
  bool unattended_ = false;  // inside PrepareUnattended
};
