#include "Account.h"

#include <QString>
#include <algorithm>
#include <charconv>
#include <vector>

#include "IniFile.h"
#include "SysUtils.h"

namespace {

// A key of the settings file and the member that holds it; required keys are always
// written, optional ones only once they differ from their default or are in the file.
struct Key {
  const char* name;
  std::string Account::*member;
  const char* absent;
  bool optional;
};

// The sign-in keys, the same in both sections, after each section's own.
std::vector<Key> withLoginKeys(std::vector<Key> keys) {
  keys.insert(keys.end(), {{"Login", &Account::login, "", true},
                           {"OAuthProvider", &Account::oauthProvider, "", true},
                           {"OAuthClientId", &Account::oauthClientId, "", true},
                           {"OAuthClientSecret", &Account::oauthClientSecret, "", true},
                           {"OAuthAuthUrl", &Account::oauthAuthUrl, "", true},
                           {"OAuthTokenUrl", &Account::oauthTokenUrl, "", true},
                           {"OAuthDeviceUrl", &Account::oauthDeviceUrl, "", true},
                           {"OAuthScope", &Account::oauthScope, "", true},
                           {"OAuthAccount", &Account::oauthAccount, "", true},
                           {"AllowPlainLogin", &Account::allowPlainLogin, "", true}});
  return keys;
}

// The receive side's own choices, after the sign-in keys.
std::vector<Key> withReceiveKeys(std::vector<Key> keys) {
  keys.insert(keys.end(), {{"OnServer", &Account::onServer, "Delete", true},
                           {"KeepDays", &Account::keepDays, "", true},
                           {"LargeKB", &Account::largeKB, "0", true}});
  return keys;
}

const std::vector<Key>& keysOf(AccountSide side) {
  static const std::vector<Key> receive = withReceiveKeys(withLoginKeys({
      {"Host", &Account::host, "", false},
      {"Port", &Account::port, "110", false},
      {"UserId", &Account::userId, "", false},
      {"Password", &Account::password, "", false},
      {"CAFile", &Account::caFile, "", true},
      {"CertFingerprint", &Account::certFingerprint, "", true},
      {"CheckMinutes", &Account::checkMinutes, "0", true},
  }));
  static const std::vector<Key> send = withLoginKeys({
      {"Host", &Account::host, "", false},
      {"Port", &Account::port, "25", false},
      {"UserId", &Account::userId, "", false},
      {"Name", &Account::name, "", false},
      {"Email", &Account::email, "", false},
      {"CAFile", &Account::caFile, "", true},
      {"CertFingerprint", &Account::certFingerprint, "", true},
      {"AuthUser", &Account::loginUser, "", true},
      {"AuthPassword", &Account::loginPassword, "", true},
  });
  return side == AccountSide::Receive ? receive : send;
}

// The Security key stands after the required keys, before the optional ones.
constexpr const char* kSecurityKey = "Security";

int securityIndexOf(const std::string& text) {
  for (int i = 0; i < 3; ++i)
    if (QString::fromStdString(text).compare(kSecurityTexts[i], Qt::CaseInsensitive) == 0) return i;
  return 0;
}

void writeOptional(IniFile& ini, const char* section, const char* key, const std::string& value,
                   const std::string& absent) {
  const char* const missing = "\x01missing";
  if (value == absent && ini.ReadString(section, key, missing) == missing) return;
  ini.WriteString(section, key, value);
}

}  // namespace

TSecurity SecurityAt(int index) {
  switch (index) {
    case 1:
      return secStartTLS;
    case 2:
      return secSSLTLS;
    default:
      return secNone;
  }
}

int SecurityIndex(TSecurity security) {
  return security == secStartTLS ? 1 : security == secSSLTLS ? 2 : 0;
}

const char* SectionOf(AccountSide side) {
  return side == AccountSide::Receive ? "INBOX" : "OUTBOX";
}

namespace {

int count(const std::string& text) {
  bool ok = false;
  const int n = QString::fromStdString(text).trimmed().toInt(&ok);
  return ok && n > 0 ? n : 0;
}

}  // namespace

OnServer Account::ServerChoice() const {
  for (int i = 0; i < 4; ++i)
    if (onServer == kOnServerKeys[i]) return static_cast<OnServer>(i);
  return OnServer::Delete;
}

int Account::KeepDaysCount() const {
  return count(keepDays);
}

int Account::LargeKBCount() const {
  return count(largeKB);
}

corvane::auth::OAuthSettings Account::OAuth() const {
  corvane::auth::OAuthSettings settings;
  settings.provider = oauthProvider;
  settings.clientId = oauthClientId;
  settings.clientSecret = oauthClientSecret;
  settings.authUrl = oauthAuthUrl;
  settings.tokenUrl = oauthTokenUrl;
  settings.deviceUrl = oauthDeviceUrl;
  settings.scope = oauthScope;
  settings.account = oauthAccount;
  return settings;
}

int Account::CheckMinutes() const {
  int minutes = 0;
  const auto [end, error] = std::from_chars(checkMinutes.data(), checkMinutes.data() + checkMinutes.size(), minutes);
  if (error != std::errc() || end != checkMinutes.data() + checkMinutes.size()) return 0;
  return std::clamp(minutes, 0, kMaxCheckMinutes);
}

bool ReadKeyringChoice(const IniFile& ini) {
  return ini.ReadString("INBOX", "KeyringPasswords", "0") == "1";
}

void WriteKeyringChoice(IniFile& ini, bool keyring) {
  writeOptional(ini, "INBOX", "KeyringPasswords", keyring ? "1" : "0", "0");
}

void Account::Configure(TZnSocket& component) const {
  component.Host = host;
  component.Port = corvane::StrToInt(port);
  component.Security = security;
  component.CAFile = caFile;
  component.CertFingerprint = certFingerprint;
}

Account ReadAccount(const IniFile& ini, AccountSide side) {
  const char* section = SectionOf(side);
  Account account;
  for (const Key& key : keysOf(side)) account.*key.member = ini.ReadString(section, key.name, key.absent);
  account.security = SecurityAt(securityIndexOf(ini.ReadString(section, kSecurityKey, "None")));
  return account;
}

void WriteAccount(IniFile& ini, AccountSide side, const Account& account) {
  const char* section = SectionOf(side);
  bool securityWritten = false;
  for (const Key& key : keysOf(side)) {
    if (key.optional && !securityWritten) {
      writeOptional(ini, section, kSecurityKey, kSecurityTexts[SecurityIndex(account.security)], "None");
      securityWritten = true;
    }
    if (key.optional)
      writeOptional(ini, section, key.name, account.*key.member, key.absent);
    else
      ini.WriteString(section, key.name, account.*key.member);
  }
}
