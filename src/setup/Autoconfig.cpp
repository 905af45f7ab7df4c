#include "Autoconfig.h"

#include <QXmlStreamReader>

#include "Resolver.h"

namespace corvane::setup {

namespace {

// Nothing a real document needs comes near this; more is a server to stop reading.
constexpr qint64 kMaxElements = 10000;

struct Entry {
  std::string type;
  std::string host;
  std::string port;
  std::string socketType;
  std::string userName;
  std::vector<std::string> authentication;
};

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string substitute(std::string text, const std::string& address) {
  std::string local, domain;
  SplitAddress(address, local, domain);
  text = replaceAll(std::move(text), "%EMAILADDRESS%", address);
  text = replaceAll(std::move(text), "%EMAILLOCALPART%", local);
  return replaceAll(std::move(text), "%EMAILDOMAIN%", domain);
}

std::string textOf(QXmlStreamReader& xml) {
  return xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
}

Entry readEntry(QXmlStreamReader& xml) {
  Entry entry;
  entry.type = xml.attributes().value("type").toString().toLower().toStdString();
  while (xml.readNextStartElement()) {
    const auto name = xml.name();
    if (name == QLatin1String("hostname"))
      entry.host = textOf(xml);
    else if (name == QLatin1String("port"))
      entry.port = textOf(xml);
    else if (name == QLatin1String("socketType"))
      entry.socketType = textOf(xml);
    else if (name == QLatin1String("username"))
      entry.userName = textOf(xml);
    else if (name == QLatin1String("authentication"))
      entry.authentication.push_back(textOf(xml));
    else
      xml.skipCurrentElement();
  }
  return entry;
}

int securityRank(TSecurity security) {
  return security == secSSLTLS ? 2 : security == secStartTLS ? 1 : 0;
}

// The sign-in the entry asks for: the first of its methods that Corvane knows, password
// when it names none of them; "none" on the send side means sending without a login.
void takeSignIn(const Entry& entry, TServerChoice& choice) {
  for (const std::string& method : entry.authentication) {
    if (method == "OAuth2") {
      choice.SignIn = kSignInOAuth2;
      const std::string& host = choice.Host;
      if (host.find("google") != std::string::npos || host.find("gmail") != std::string::npos)
        choice.OAuthProvider = "Google";
      else if (host.find("office365") != std::string::npos || host.find("outlook") != std::string::npos)
        choice.OAuthProvider = "Microsoft";
      return;
    }
    if (method.rfind("password-", 0) == 0) return;
    if (method == "none" || method == "client-IP-address") {
      choice.UserName.clear();
      return;
    }
  }
}

// The entry as a choice; false (with the reason in why) when it cannot be used.
bool choiceOf(const Entry& entry, const std::string& address, const std::string& origin, TServerChoice& choice,
              std::string& why) {
  const std::string host = substitute(entry.host, address);
  if (!corvane::dns::IsHostName(host) && !TNetAddress::Parse(host)) {
    why = "an entry names no usable host";
    return false;
  }
  const bool digits =
      !entry.port.empty() && entry.port.size() <= 5 && entry.port.find_first_not_of("0123456789") == std::string::npos;
  const int port = digits ? std::stoi(entry.port) : 0;
  if (port < 1 || port > 65535) {
    why = host + " has no usable port";
    return false;
  }
  if (entry.socketType != "SSL" && entry.socketType != "STARTTLS") {
    why = host + ":" + std::to_string(port) + " offers no secure connection and was left out";
    return false;
  }
  choice = {};
  choice.Host = host;
  choice.Port = static_cast<uint16_t>(port);
  choice.Security = entry.socketType == "SSL" ? secSSLTLS : secStartTLS;
  choice.UserName = substitute(entry.userName.empty() ? "%EMAILADDRESS%" : entry.userName, address);
  choice.Origin = origin;
  takeSignIn(entry, choice);
  return true;
}

void consider(const Entry& entry, const std::string& address, const std::string& origin, TAutoconfig& config,
              TServerChoice& best) {
  TServerChoice choice;
  std::string why;
  if (!choiceOf(entry, address, origin, choice, why)) {
    config.Notes.push_back("The autoconfig document: " + why + ".");
    return;
  }
  if (!best.Found() || securityRank(choice.Security) > securityRank(best.Security)) best = choice;
}

}  // namespace

std::vector<std::string> AutoconfigUrls(const std::string& domain) {
  return {"https://autoconfig." + domain + "/mail/config-v1.1.xml",
          "https://" + domain + "/.well-known/autoconfig/mail/config-v1.1.xml"};
}

TAutoconfig ParseAutoconfig(const std::string& document, const std::string& address, const std::string& origin) {
  TAutoconfig config;
  QXmlStreamReader xml(QByteArray::fromStdString(document));
  TServerChoice pop3, smtp;
  qint64 elements = 0;
  while (!xml.atEnd() && ++elements < kMaxElements) {
    if (!xml.readNext() || !xml.isStartElement()) continue;
    const auto name = xml.name();
    if (name == QLatin1String("clientConfig")) {
      config.Valid = true;
    } else if (config.Valid && (name == QLatin1String("incomingServer") || name == QLatin1String("outgoingServer"))) {
      const bool incoming = name == QLatin1String("incomingServer");
      const Entry entry = readEntry(xml);
      config.ListsIncoming = config.ListsIncoming || incoming;
      if (incoming && entry.type == "pop3") consider(entry, address, origin, config, pop3);
      if (!incoming && entry.type == "smtp") consider(entry, address, origin, config, smtp);
    }
  }
  if (xml.hasError() || elements >= kMaxElements) config.Valid = false;
  if (!config.Valid) return config;
  if (pop3.Found()) config.Receive = pop3;
  if (smtp.Found()) config.Send = smtp;
  return config;
}

}  // namespace corvane::setup
