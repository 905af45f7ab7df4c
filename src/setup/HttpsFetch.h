#pragma once
// Fetches a small document over HTTPS for discovery. The host is looked up by the
// program's own resolver (so CORVANE_DNS reaches it too) and each of its addresses asked
// in turn; the certificate must be valid for the host's name under the system's trusted
// certificates plus those of the PEM file CORVANE_CAFILE names. Redirects are followed
// only to HTTPS, at most three times. Each request is one step of the runner.
#include <QNetworkAccessManager>
#include <optional>
#include <string>

#include "NetAddress.h"
#include "StepRunner.h"

inline constexpr const char* kExtraCaVariable = "CORVANE_CAFILE";

class THttpsFetch {
 public:
  explicit THttpsFetch(TStepRunner& steps);

  // The body of a 200 answer; null for anything else, with the reason in *why.
  std::optional<std::string> Get(const std::string& url, std::string* why = nullptr);

 private:
  enum class Outcome { Body, Redirect, Unreachable, Refused };
  Outcome ask(const QUrl& url, const TNetAddress& address, std::string& body, QUrl& next, std::string& why);

  TStepRunner& steps_;
  QNetworkAccessManager manager_;
};
