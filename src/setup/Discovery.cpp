#include "Discovery.h"

#include <QTimer>
#include <algorithm>

#include "Autoconfig.h"
#include "ProviderTable.h"
#include "Resolver.h"
#include "ServerProbe.h"

namespace corvane::setup {

std::string DomainOfHost(const std::string& host) {
  std::vector<std::string> labels;
  for (size_t start = 0; start <= host.size();) {
    const size_t dot = std::min(host.find('.', start), host.size());
    labels.push_back(host.substr(start, dot - start));
    start = dot + 1;
  }
  if (labels.size() < 2) return host;
  static const std::vector<std::string> secondLevels{"co", "com", "net", "org", "ac", "gov", "edu", "ne", "or"};
  size_t keep = 2;
  if (labels.size() >= 3 && labels.back().size() == 2 &&
      std::find(secondLevels.begin(), secondLevels.end(), labels[labels.size() - 2]) != secondLevels.end())
    keep = 3;
  std::string domain;
  for (size_t i = labels.size() - std::min(keep, labels.size()); i < labels.size(); ++i)
    domain += (domain.empty() ? "" : ".") + labels[i];
  return domain;
}

}  // namespace corvane::setup

namespace {

using namespace corvane::setup;

struct Guess {
  const char* prefix;
  uint16_t port;
  TProbeKind kind;
};

// Implicit TLS first on every name, then the upgrade: the strongest security found wins.
const Guess kReceiveGuesses[] = {{"pop.", 995, TProbeKind::Pop3Tls},       {"pop3.", 995, TProbeKind::Pop3Tls},
                                 {"mail.", 995, TProbeKind::Pop3Tls},      {"pop.", 110, TProbeKind::Pop3StartTls},
                                 {"pop3.", 110, TProbeKind::Pop3StartTls}, {"mail.", 110, TProbeKind::Pop3StartTls}};
const Guess kSendGuesses[] = {{"smtp.", 465, TProbeKind::SmtpTls},
                              {"mail.", 465, TProbeKind::SmtpTls},
                              {"smtp.", 587, TProbeKind::SmtpStartTls},
                              {"mail.", 587, TProbeKind::SmtpStartTls}};

// Lowest priority first; of equal priority the highest weight (RFC 2782).
std::vector<corvane::dns::TSrvRecord> byPreference(std::vector<corvane::dns::TSrvRecord> records) {
  std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
    return a.Priority != b.Priority ? a.Priority < b.Priority : a.Weight > b.Weight;
  });
  return records;
}

}  // namespace

TDiscovery::TDiscovery(TDiscoveryOptions options) : steps_(std::move(options)), https_(steps_) {
  probe_.TimeOut = steps_.StepTimeoutMs();
  probe_.CAFile = qEnvironmentVariable(kExtraCaVariable).toStdString();
}

TDiscovery::~TDiscovery() = default;

void TDiscovery::Cancel() {
  steps_.Cancel();
  probe_.Cancel();
}

bool TDiscovery::finished(const TDiscoveryResult& result) const {
  return steps_.Canceled() || result.Complete();
}

void TDiscovery::progress(const std::string& text) {
  steps_.BeginStep();
  Fire(OnProgress, text);
}

TDiscoveryResult TDiscovery::Run(const std::string& address) {
  std::string local, domain;
  if (!SplitAddress(address, local, domain)) throw Exception("\"" + address + "\" is not an e-mail address");
  steps_.Reset();
  address_ = address;
  TDiscoveryResult result;
  result.Address = address;
  fromTable(domain, result);
  if (!finished(result)) fromAutoconfig(domain, result);
  if (!finished(result)) fromSrv(domain, result);
  std::string mxDomain;
  if (!finished(result)) mxDomain = fromMailExchanger(domain, result);
  if (!finished(result) && !mxDomain.empty()) fromAutoconfig(mxDomain, result);
  if (!finished(result) && !mxDomain.empty()) fromSrv(mxDomain, result);
  if (!finished(result)) fromGuesses(domain, result);
  if (!finished(result) && !mxDomain.empty()) fromGuesses(mxDomain, result);
  return result;
}

void TDiscovery::fromTable(const std::string& domain, TDiscoveryResult& result) {
  progress("Looking for " + domain + " among the known providers");
  if (const TProvider* provider = ProviderForDomain(domain))
    FillFromProvider(*provider, address_, "the list of known providers (" + std::string(provider->Name) + ")", result);
}

void TDiscovery::fromAutoconfig(const std::string& domain, TDiscoveryResult& result) {
  for (const std::string& url : AutoconfigUrls(domain)) {
    if (steps_.Canceled()) return;
    progress("Asking " + url);
    const auto document = https_.Get(url);
    if (!document) continue;
    const TAutoconfig config = ParseAutoconfig(*document, address_, "the autoconfig document at " + url);
    if (!config.Valid) continue;
    result.Notes.insert(result.Notes.end(), config.Notes.begin(), config.Notes.end());
    if (!result.Receive.Found() && !result.NoPop3) result.Receive = config.Receive;
    if (!result.Send.Found()) result.Send = config.Send;
    if (config.ListsIncoming && !config.Receive.Found() && !result.Receive.Found())
      result.Notes.push_back("The autoconfig document at " + url + " names no POP3 server.");
    return;
  }
}

bool TDiscovery::srvChoice(const std::string& name, TSecurity security, TServerChoice& choice, bool& declined) {
  progress("Looking up the DNS records " + name);
  const auto answer = steps_.OnWorker<corvane::dns::TSrvAnswer>([name] { return corvane::dns::LookupSrv(name); });
  if (!answer || answer->Records.empty()) return false;
  const auto records = byPreference(answer->Records);
  const auto& best = records.front();
  if (best.Target.empty()) {
    declined = true;
    return false;
  }
  choice = {};
  choice.Host = best.Target;
  choice.Port = best.Port;
  choice.Security = security;
  choice.UserName = address_;
  choice.Origin = "the DNS record " + name;
  return true;
}

void TDiscovery::fromSrv(const std::string& domain, TDiscoveryResult& result) {
  bool popDeclined = false, sendDeclined = false;
  if (!result.Receive.Found() && !result.NoPop3 &&
      !srvChoice("_pop3s._tcp." + domain, secSSLTLS, result.Receive, popDeclined) && !steps_.Canceled() &&
      !srvChoice("_pop3._tcp." + domain, secStartTLS, result.Receive, popDeclined) && popDeclined) {
    result.NoPop3 = !steps_.Canceled();
    if (result.NoPop3) result.Notes.push_back("The DNS records of " + domain + " say it offers no POP3.");
  }
  if (!result.Send.Found() && !steps_.Canceled() &&
      !srvChoice("_submissions._tcp." + domain, secSSLTLS, result.Send, sendDeclined) && !steps_.Canceled())
    srvChoice("_submission._tcp." + domain, secStartTLS, result.Send, sendDeclined);
}

std::string TDiscovery::fromMailExchanger(const std::string& domain, TDiscoveryResult& result) {
  progress("Looking up the mail exchanger of " + domain);
  const auto answer = steps_.OnWorker<corvane::dns::TMxAnswer>([domain] { return corvane::dns::LookupMx(domain); });
  if (!answer || answer->Records.empty() || answer->Records.front().Exchange.empty()) return {};
  const std::string exchanger = answer->Records.front().Exchange;
  if (const TProvider* provider = ProviderForMailExchanger(exchanger)) {
    FillFromProvider(*provider, address_,
                     "the list of known providers (" + std::string(provider->Name) + ", which receives mail for " +
                         domain + " at " + exchanger + ")",
                     result);
    return {};
  }
  const std::string mxDomain = DomainOfHost(exchanger);
  std::string local, checked;
  if (mxDomain == domain || !SplitAddress("postmaster@" + mxDomain, local, checked)) return {};
  return mxDomain;
}

void TDiscovery::fromGuesses(const std::string& domain, TDiscoveryResult& result) {
  // Only names that exist are tried; a name that resolves is asked once per port.
  std::vector<std::string> existing;
  for (const char* prefix : {"pop.", "pop3.", "mail.", "smtp."}) {
    if (steps_.Canceled()) return;
    const std::string host = prefix + domain;
    progress("Looking up " + host);
    const auto answer =
        steps_.OnWorker<corvane::dns::TAddressAnswer>([host] { return corvane::dns::LookupAddresses(host); });
    if (answer && !answer->Addresses.empty()) existing.push_back(host);
  }
  const auto exists = [&](const std::string& host) {
    return std::find(existing.begin(), existing.end(), host) != existing.end();
  };
  for (const Guess& guess : kReceiveGuesses) {
    if (result.Receive.Found() || result.NoPop3 || steps_.Canceled()) break;
    const std::string host = guess.prefix + domain;
    if (exists(host)) probe(host, guess.port, guess.kind, result.Receive, result);
  }
  for (const Guess& guess : kSendGuesses) {
    if (result.Send.Found() || steps_.Canceled()) break;
    const std::string host = guess.prefix + domain;
    if (exists(host)) probe(host, guess.port, guess.kind, result.Send, result);
  }
}

bool TDiscovery::probe(const std::string& host, uint16_t port, TProbeKind kind, TServerChoice& choice,
                       TDiscoveryResult& result) {
  progress("Trying " + host + ":" + std::to_string(port));
  // The socket's own waits pump events; this watch ends them with the step.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [this] {
    if (steps_.Expired() && !probe_.Canceled) probe_.Cancel();
  });
  watch.start(5);
  const TProbeOutcome outcome = ProbeServer(probe_, host, port, kind);
  if (!outcome.Works) {
    // A server that answered but could not be used is worth a word; silence is not.
    if (outcome.Reached && !steps_.Canceled())
      result.Notes.push_back(host + ":" + std::to_string(port) + " was left out: " + outcome.Why + ".");
    return false;
  }
  const bool upgrade = kind == TProbeKind::Pop3StartTls || kind == TProbeKind::SmtpStartTls;
  choice = {};
  choice.Host = host;
  choice.Port = port;
  choice.Security = upgrade ? secStartTLS : secSSLTLS;
  choice.UserName = address_;
  choice.Origin = "a test of " + host + ":" + std::to_string(port) + " (greeting and secure connection)";
  return true;
}
