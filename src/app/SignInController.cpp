#include "SignInController.h"

#include <QDateTime>

namespace auth = corvane::auth;

namespace {

size_t at(AccountSide side) {
  return side == AccountSide::Receive ? 0 : 1;
}

AccountSide other(AccountSide side) {
  return side == AccountSide::Receive ? AccountSide::Send : AccountSide::Receive;
}

// A token this close to its end is renewed first: a session takes a while to log in.
constexpr int64_t kRenewAheadMs = 60 * 1000;

// Named after the account, not only the section: each Corvane folder on this desktop has
// accounts of its own, and one must not read or overwrite another's password.
std::string passwordKey(AccountSide side, const Account& account) {
  const bool receive = side == AccountSide::Receive;
  return std::string(SectionOf(side)) + (receive ? " Password " : " AuthPassword ") +
         (receive ? account.userId : account.loginUser) + "@" + account.host;
}

std::string& passwordOf(AccountSide side, Account& account) {
  return side == AccountSide::Receive ? account.password : account.loginPassword;
}

}  // namespace

SignInController::SignInController(SignInView& view, auth::SecretStore& secrets, auth::OAuthOptions options)
    : view_(view), secrets_(secrets), options_(std::move(options)) {}

void SignInController::Keep(AccountSide side, const Account& loaded) {
  sessions_[at(side)].kept = loaded;
  view_.ShowSignedIn(side, loaded.OAuth2() ? loaded.oauthAccount : "");
}

void SignInController::Complete(AccountSide side, Account& account) const {
  const Account& kept = sessions_[at(side)].kept;
  // The provider is the choice's while OAuth 2.0 is chosen, the kept one otherwise.
  if (account.oauthProvider.empty()) account.oauthProvider = kept.oauthProvider;
  account.oauthClientId = kept.oauthClientId;
  account.oauthClientSecret = kept.oauthClientSecret;
  account.oauthAuthUrl = kept.oauthAuthUrl;
  account.oauthTokenUrl = kept.oauthTokenUrl;
  account.oauthDeviceUrl = kept.oauthDeviceUrl;
  account.oauthScope = kept.oauthScope;
  account.oauthAccount = kept.oauthAccount;
}

bool SignInController::usable(const auth::Tokens& tokens) const {
  const int64_t now = options_.now ? options_.now() : QDateTime::currentMSecsSinceEpoch();
  return !tokens.access.empty() && tokens.expiresAt - now > kRenewAheadMs;
}

auth::OAuthSettings SignInController::settingsFor(AccountSide side, const Account& account) {
  auth::OAuthSettings settings = auth::Resolved(account.OAuth());
  Account& kept = sessions_[at(side)].kept;
  if (settings.clientId.empty()) {
    std::string clientId;
    const std::string prompt =
        "The client ID you registered with " + settings.provider + " for Corvane (Help tells how to get one):";
    if (view_.Ask().InputQuery("Sign in", prompt, clientId) && !clientId.empty())
      settings.clientId = kept.oauthClientId = clientId;
  }
  if (const std::string missing = auth::MissingForSignIn(settings); missing.find("://") != std::string::npos)
    throw Exception("Cannot sign in: " + missing + " is no https address, and a sign-in must not go out unencrypted.");
  else if (!missing.empty())
    throw Exception("Cannot sign in: the settings file has no " + missing + " in [" + SectionOf(side) + "].");
  return settings;
}

void SignInController::Prepare(AccountSide side, Account& account) {
  if (!account.OAuth2()) return;
  const std::string access = token(side, account);
  const std::string name = sessions_[at(side)].kept.oauthAccount;
  account.oauthAccount = name;
  account.loginUser = name;
  if (side == AccountSide::Receive) account.userId = name;
  passwordOf(side, account) = access;
}

void SignInController::PrepareUnattended(AccountSide side, Account& account) {
  unattended_ = true;
  try {
    Prepare(side, account);
  } catch (...) {
    unattended_ = false;
    throw;
  }
  unattended_ = false;
}

std::string SignInController::token(AccountSide side, const Account& account) {
  // A click inside a sign-in's wait must not start a second one over it.
  if (running_) throw Exception("A sign-in is under way: finish it in the browser, or click its button to cancel it.");
  Session& session = sessions_[at(side)];
  if (session.kept.oauthAccount != account.oauthAccount || session.kept.oauthProvider != account.oauthProvider)
    session.tokens = {};
  session.kept.oauthProvider = account.oauthProvider;
  if (usable(session.tokens)) return session.tokens.access;
  const auth::OAuthSettings settings = settingsFor(side, account);
  if (!settings.account.empty() && refresh(side, settings)) return session.tokens.access;
  if (unattended_) throw Exception("Not signed in: click Sign in to sign in to " + settings.provider);
  signIn(side, account);
  return session.tokens.access;
}

bool SignInController::refresh(AccountSide side, const auth::OAuthSettings& settings) {
  const std::string key = auth::RefreshTokenKey(settings);
  const std::optional<std::string> stored = secrets_.Read(key);
  if (!stored) return false;
  auth::OAuthClient client(settings, options_);
  running_ = &client;
  try {
    view_.Status("Renewing the sign-in of " + settings.account);
    sessions_[at(side)].tokens = client.Refresh(*stored);
    running_ = nullptr;
  } catch (const auth::ERefreshRefused& refused) {
    running_ = nullptr;
    secrets_.Remove(key);
    if (unattended_ || !view_.Ask().Confirm(refused.Message() + "\n\nSign in to " + settings.provider + " again now?",
                                            TConfirmButtons::OkCancel))
      throw Exception("Not signed in: " + refused.Message() + " Click Sign in to sign in again");
    return false;
  } catch (...) {
    running_ = nullptr;
    throw;
  }
  if (sessions_[at(side)].tokens.refresh != *stored) secrets_.Write(key, sessions_[at(side)].tokens.refresh);
  return true;
}

std::string SignInController::Renewed(AccountSide side) {
  Session& session = sessions_[at(side)];
  session.tokens = {};
  const auth::OAuthSettings settings = settingsFor(side, session.kept);
  if (!refresh(side, settings)) signIn(side, session.kept);
  return session.tokens.access;
}

void SignInController::Clicked(AccountSide side, const Account& account) {
  if (running_) {
    running_->Cancel();
    return;
  }
  sessions_[at(side)].kept.oauthProvider = account.oauthProvider;
  try {
    signIn(side, account);
  } catch (const auth::ESignInCancelled&) {
    view_.Status("Sign-in cancelled");
  }
}

void SignInController::Cancel() {
  if (running_) running_->Cancel();
}

auth::Tokens SignInController::interactive(const auth::OAuthSettings& settings) {
  auth::OAuthClient client(settings, options_);
  running_ = &client;
  struct Done {
    auth::OAuthClient*& running;
    ~Done() { running = nullptr; }
  } done{running_};
  view_.Status("Signing in to " + settings.provider + " in the browser");
  try {
    return client.SignInWithBrowser();
  } catch (const auth::ENoBrowser&) {
    return client.SignInWithDevice([this](const std::string& url, const std::string& code) {
      view_.Status("To sign in, open " + url + " and enter the code " + code);
    });
  }
}

void SignInController::signIn(AccountSide side, const Account& account) {
  Session& session = sessions_[at(side)];
  auth::OAuthSettings settings = settingsFor(side, account);
  auth::Tokens tokens = interactive(settings);
  std::string name = tokens.account;
  // Without an ID token the account is the one the group names.
  if (name.empty()) name = side == AccountSide::Receive ? account.userId : account.loginUser;
  if (name.empty()) name = settings.account;
  if (name.empty()) throw Exception("Signed in, but the provider did not say as whom: fill in the user ID.");
  session.kept.oauthAccount = settings.account = name;
  session.tokens = std::move(tokens);
  if (!session.tokens.refresh.empty()) secrets_.Write(auth::RefreshTokenKey(settings), session.tokens.refresh);
  view_.Status("Signed in as " + name);
  view_.ShowSignedIn(side, name);
  share(side);
}

void SignInController::share(AccountSide side) {
  const Session& from = sessions_[at(side)];
  Session& to = sessions_[at(other(side))];
  const auth::OAuthSettings a = auth::Resolved(from.kept.OAuth());
  const auth::OAuthSettings b = auth::Resolved(to.kept.OAuth());
  if (!to.kept.OAuth2() || !to.kept.oauthAccount.empty() || a.tokenUrl != b.tokenUrl || a.clientId != b.clientId)
    return;
  to.kept.oauthAccount = from.kept.oauthAccount;
  to.tokens = from.tokens;
  view_.ShowSignedIn(other(side), to.kept.oauthAccount);
}

void SignInController::FetchPasswords(AccountSide side, Account& account) {
  if (const auto stored = secrets_.Read(passwordKey(side, account))) passwordOf(side, account) = *stored;
}

Account SignInController::StorePasswords(AccountSide side, const Account& account) {
  Account written = account;
  std::string& password = passwordOf(side, written);
  // A token stands in the password's place while connecting; it is never stored as one.
  if (!account.OAuth2()) secrets_.Write(passwordKey(side, account), password);
  password.clear();
  return written;
}
