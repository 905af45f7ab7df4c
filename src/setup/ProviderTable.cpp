#include "ProviderTable.h"

#include <algorithm>
#include <cctype>

namespace corvane::setup {

namespace {

const char* const kPassword = kSignInPassword;
const char* const kOAuth2 = kSignInOAuth2;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// host is suffix itself or ends with "." + suffix.
bool endsWithLabel(const std::string& host, const std::string& suffix) {
  if (host == suffix) return true;
  return host.size() > suffix.size() && host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0 &&
         host[host.size() - suffix.size() - 1] == '.';
}

TServerChoice choiceOf(const TKnownServer& server, const TProvider& provider, const std::string& address,
                       const std::string& origin) {
  TServerChoice choice;
  if (!server.Host) return choice;
  choice.Host = server.Host;
  choice.Port = server.Port;
  choice.Security = server.Security;
  choice.UserName = address;
  choice.SignIn = provider.SignIn;
  choice.OAuthProvider = provider.OAuthProvider ? provider.OAuthProvider : "";
  choice.Origin = origin;
  return choice;
}

}  // namespace

// As the providers publish them; every one offers TLS, most from the first byte.
const std::vector<TProvider>& KnownProviders() {
  static const std::vector<TProvider> providers{
      {"Gmail",
       {"gmail.com", "googlemail.com"},
       {"google.com", "googlemail.com"},
       {"pop.gmail.com", 995, secSSLTLS},
       {"smtp.gmail.com", 465, secSSLTLS},
       kOAuth2,
       "Google"},
      {"Outlook.com",
       {"outlook.com", "hotmail.com", "live.com", "msn.com", "passport.com", "hotmail.co.uk", "hotmail.fr",
        "hotmail.de", "hotmail.it", "hotmail.es", "live.co.uk", "live.fr", "live.de", "live.it", "outlook.de",
        "outlook.fr", "outlook.es", "outlook.it"},
       {},
       {"outlook.office365.com", 995, secSSLTLS},
       {"smtp-mail.outlook.com", 587, secStartTLS},
       kOAuth2,
       "Microsoft"},
      {"Microsoft 365",
       {"onmicrosoft.com"},
       {"mail.protection.outlook.com"},
       {"outlook.office365.com", 995, secSSLTLS},
       {"smtp.office365.com", 587, secStartTLS},
       kOAuth2,
       "Microsoft"},
      {"Yahoo Mail",
       {"yahoo.com", "ymail.com", "rocketmail.com", "yahoo.co.uk", "yahoo.fr", "yahoo.de", "yahoo.it", "yahoo.es",
        "yahoo.ca", "yahoo.com.au"},
       {"yahoodns.net"},
       {"pop.mail.yahoo.com", 995, secSSLTLS},
       {"smtp.mail.yahoo.com", 465, secSSLTLS},
       kPassword,
       nullptr},
      {"iCloud Mail",
       {"icloud.com", "me.com", "mac.com"},
       {"mail.icloud.com"},
       {nullptr, 0, secNone},
       {"smtp.mail.me.com", 587, secStartTLS},
       kPassword,
       nullptr},
      {"AOL Mail",
       {"aol.com", "aim.com", "aol.co.uk", "aol.de", "aol.fr"},
       {},
       {"pop.aol.com", 995, secSSLTLS},
       {"smtp.aol.com", 465, secSSLTLS},
       kPassword,
       nullptr},
      {"GMX",
       {"gmx.net", "gmx.de", "gmx.at", "gmx.ch"},
       {"gmx.net"},
       {"pop.gmx.net", 995, secSSLTLS},
       {"mail.gmx.net", 465, secSSLTLS},
       kPassword,
       nullptr},
      {"GMX",
       {"gmx.com", "gmx.us", "gmx.co.uk", "gmx.fr", "gmx.es"},
       {"gmx.com"},
       {"pop.gmx.com", 995, secSSLTLS},
       {"mail.gmx.com", 465, secSSLTLS},
       kPassword,
       nullptr},
      {"WEB.DE",
       {"web.de"},
       {"web.de"},
       {"pop3.web.de", 995, secSSLTLS},
       {"smtp.web.de", 587, secStartTLS},
       kPassword,
       nullptr},
      {"Fastmail",
       {"fastmail.com", "fastmail.fm", "fastmail.net", "fastmail.org", "messagingengine.com"},
       {"messagingengine.com"},
       {"pop.fastmail.com", 995, secSSLTLS},
       {"smtp.fastmail.com", 465, secSSLTLS},
       kPassword,
       nullptr},
      {"Zoho Mail",
       {"zoho.com", "zohomail.com"},
       {"zoho.com"},
       {"pop.zoho.com", 995, secSSLTLS},
       {"smtp.zoho.com", 465, secSSLTLS},
       kPassword,
       nullptr},
      {"Zoho Mail",
       {"zoho.eu", "zohomail.eu"},
       {"zoho.eu"},
       {"pop.zoho.eu", 995, secSSLTLS},
       {"smtp.zoho.eu", 465, secSSLTLS},
       kPassword,
       nullptr},
      {"Yandex Mail",
       {"yandex.com", "yandex.ru", "ya.ru", "yandex.ua", "yandex.by", "yandex.kz"},
       {"yandex.net", "yandex.ru"},
       {"pop.yandex.com", 995, secSSLTLS},
       {"smtp.yandex.com", 465, secSSLTLS},
       kPassword,
       nullptr},
      {"Mail.ru",
       {"mail.ru", "inbox.ru", "list.ru", "bk.ru", "internet.ru"},
       {"mail.ru"},
       {"pop.mail.ru", 995, secSSLTLS},
       {"smtp.mail.ru", 465, secSSLTLS},
       kPassword,
       nullptr},
  };
  return providers;
}

const TProvider* ProviderForDomain(const std::string& domain) {
  const std::string wanted = lower(domain);
  for (const TProvider& provider : KnownProviders()) {
    for (const char* known : provider.Domains)
      if (wanted == known) return &provider;
  }
  return nullptr;
}

const TProvider* ProviderForMailExchanger(const std::string& host) {
  const std::string wanted = lower(host);
  for (const TProvider& provider : KnownProviders()) {
    for (const char* suffix : provider.MxSuffixes)
      if (endsWithLabel(wanted, suffix)) return &provider;
  }
  return nullptr;
}

void FillFromProvider(const TProvider& provider, const std::string& address, const std::string& origin,
                      TDiscoveryResult& result) {
  if (!result.Receive.Found() && !result.NoPop3) {
    result.Receive = choiceOf(provider.Pop3, provider, address, origin);
    if (!provider.Pop3.Host) {
      result.NoPop3 = true;
      result.Notes.push_back(std::string(provider.Name) +
                             " offers no POP3: mail can only be read there over IMAP "
                             "or the web, which Corvane does not speak.");
    }
  }
  if (!result.Send.Found()) result.Send = choiceOf(provider.Submission, provider, address, origin);
  if (std::string(provider.SignIn) == kSignInOAuth2)
    result.Notes.push_back(std::string(provider.Name) + " signs in with OAuth 2.0 (" + provider.OAuthProvider +
                           "), not with the account's password.");
}

}  // namespace corvane::setup
