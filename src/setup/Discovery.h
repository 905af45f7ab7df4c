#pragma once
// Finds the POP3 and submission servers of an e-mail address, from these sources in
// this order, each side taken from the first source that answers it:
//   1. the built-in table of the largest providers;
//   2. the provider's autoconfig document over HTTPS;
//   3. DNS SRV records (RFC 6186, RFC 8314), implicit TLS before STARTTLS;
//   4. the domain of the mail exchanger (MX): the table again, its autoconfig and SRV;
//   5. guessed host names (pop., pop3., mail., smtp.) tried on 995 and 110 (STLS), 465
//      and 587 (STARTTLS).
// Nothing found without TLS is offered. Nothing but the greeting, CAPA, EHLO, STLS and
// STARTTLS goes out in plain text, and no password at all. Every step (a lookup, a
// request, a probe) is bounded, reports its progress and ends when Cancel is called.
#include <functional>
#include <memory>
#include <string>

#include "HttpsFetch.h"
#include "ServerProbe.h"
#include "SetupResult.h"
#include "StepRunner.h"
#include "ZnSock.h"

class TDiscovery {
 public:
  explicit TDiscovery(TDiscoveryOptions options = {});
  ~TDiscovery();
  TDiscovery(const TDiscovery&) = delete;
  TDiscovery& operator=(const TDiscovery&) = delete;

  // A short text as each step begins.
  std::function<void(const std::string&)> OnProgress;

  // What was found for address, possibly nothing; after Cancel, what was found until
  // then. Raises Exception when address is no e-mail address.
  TDiscoveryResult Run(const std::string& address);
  // Ends the running discovery at its next event.
  void Cancel();
  bool Canceled() const { return steps_.Canceled(); }

 private:
  bool finished(const TDiscoveryResult& result) const;
  void progress(const std::string& text);
  void fromTable(const std::string& domain, TDiscoveryResult& result);
  void fromAutoconfig(const std::string& domain, TDiscoveryResult& result);
  void fromSrv(const std::string& domain, TDiscoveryResult& result);
  // The best record of a service, or nothing; "." says the service is not offered.
  bool srvChoice(const std::string& name, TSecurity security, TServerChoice& choice, bool& declined);
  // The mail exchanger's domain when it is another than domain; empty otherwise.
  std::string fromMailExchanger(const std::string& domain, TDiscoveryResult& result);
  void fromGuesses(const std::string& domain, TDiscoveryResult& result);
  bool probe(const std::string& host, uint16_t port, TProbeKind kind, TServerChoice& choice, TDiscoveryResult& result);

  TStepRunner steps_;
  THttpsFetch https_;
  TZnSocket probe_;
  std::string address_;
};

namespace corvane::setup {
// The domain a mail exchanger belongs to: its last two labels, or three under a
// two-letter country code's own second level ("mx1.mail.example.net" gives "example.net",
// "mx.example.co.uk" gives "example.co.uk").
std::string DomainOfHost(const std::string& host);
}  // namespace corvane::setup
