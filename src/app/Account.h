#pragma once
// One mail account as the Connect page holds it and the settings file keeps it. The
// receive and send groups are the same value; what only one of them has stays empty in the
// other.
#include <string>

#include "OAuthProvider.h"
#include "ZnSock.h"

class IniFile;

// The longest interval of checking by itself: a day.
inline constexpr int kMaxCheckMinutes = 24 * 60;
// What a receive session leaves on the server once a message is stored ([INBOX] OnServer).
enum class OnServer { Delete, Keep, KeepDays, FollowLocal };
inline constexpr const char* kOnServerKeys[] = {"Delete", "Keep", "KeepDays", "FollowLocal"};

struct Account {
  std::string host;
  std::string port;    // the field's text: stored as typed, converted only when connecting
  std::string userId;  // POP3 user name; the name the SMTP greeting gives
  std::string password;
  TSecurity security = secNone;
  std::string caFile;           // PEM file of extra trusted certificates
  std::string certFingerprint;  // the one certificate the user chose to trust
  std::string loginUser;        // SMTP AUTH; empty: no login
  std::string loginPassword;
  std::string name;  // the sender, on the send side
  std::string email;
  // How the account logs in: empty as always (USER/PASS, SMTP AUTH with a login name),
  // "Password" by SASL with the password, "OAuth2" with a token of the provider below.
  std::string login;
  std::string oauthProvider;  // Google, Microsoft or Custom
  std::string oauthClientId;
  std::string oauthClientSecret;
  std::string oauthAuthUrl;  // for Custom; the presets bring their own
  std::string oauthTokenUrl;
  std::string oauthDeviceUrl;
  std::string oauthScope;
  std::string oauthAccount;     // the account signed in as; also the login name
  std::string allowPlainLogin;  // "1": a readable password may go out without TLS
  // Receive only; their absence means today's behaviour: delete after storing, check on Connect.
  std::string onServer = "Delete";  // one of kOnServerKeys
  std::string keepDays;             // days, for KeepDays
  std::string largeKB = "0";        // messages over so many KB come as their header; "0": off
  std::string checkMinutes = "0";   // check for mail every so many minutes; "0": never

  bool OAuth2() const { return login == "OAuth2"; }
  bool PlainLoginAllowed() const { return allowPlainLogin == "1"; }
  // An unknown choice is today's; a count that is no whole number, or below 0, is 0.
  OnServer ServerChoice() const;
  int KeepDaysCount() const;
  int LargeKBCount() const;
  // The interval of checking by itself, 0 for none or for a value that is no count of minutes.
  int CheckMinutes() const;
  corvane::auth::OAuthSettings OAuth() const;

  // Host, port, user id and the connection's security, as a component takes them;
  // "'%s' is not a valid integer value" for a port that is no whole number.
  void Configure(TZnSocket& component) const;
};

// Which group of the Connect page and which section of the settings file.
enum class AccountSide { Receive, Send };

const char* SectionOf(AccountSide side);

// The account of that side in the settings file, with today's defaults for what is missing.
Account ReadAccount(const IniFile& ini, AccountSide side);
// Writes the keys of that side, in their order. A key that only secure connections or the
// login use is written once it means something, so a file that uses none of them keeps
// exactly the lines it had.
void WriteAccount(IniFile& ini, AccountSide side, const Account& account);

// [INBOX] KeyringPasswords: both accounts' passwords live in the desktop keyring, and the
// settings file holds none.
bool ReadKeyringChoice(const IniFile& ini);
void WriteKeyringChoice(IniFile& ini, bool keyring);

// The texts of the Security choice, in its order, and the mode at each place.
inline constexpr const char* kSecurityTexts[] = {"None", "STARTTLS", "SSL/TLS"};
TSecurity SecurityAt(int index);
int SecurityIndex(TSecurity security);
