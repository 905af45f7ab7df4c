#include "SaslLogin.h"

#include <algorithm>

#include "Base64.h"

namespace corvane::sasl {

namespace {

bool revealsSecret(const std::string& mechanism) {
  return mechanism != "CRAM-MD5";
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return text;
}

// Challenges a well-behaved server sends before it decides; more means it never will.
constexpr int kMaxRounds = 8;

}  // namespace

std::string ChooseMechanism(const std::vector<std::string>& offered, const std::vector<std::string>& candidates,
                            const LoginTerms& terms) {
  const Credentials& c = terms.credentials;
  const std::string who = "Cannot log in as " + c.user + " at " + c.host + ": ";
  bool withheld = false;
  for (const std::string& name : candidates) {
    if (std::find(offered.begin(), offered.end(), name) == offered.end()) continue;
    const bool inClear = !terms.secure && revealsSecret(name);
    if (inClear && (c.bearer || !terms.plainAllowed)) {
      withheld = true;
      continue;
    }
    return name;
  }
  if (withheld && c.bearer)
    throw Exception(who + "an OAuth 2.0 token goes only over an encrypted connection: choose STARTTLS or SSL/TLS");
  if (withheld)
    throw Exception(who +
                    "without an encrypted connection the password would go out readable, and the server does not "
                    "offer CRAM-MD5: choose STARTTLS or SSL/TLS, or allow plain-text passwords for this account");
  throw Exception(who + "the server offers none of " + listed(candidates));
}

std::vector<std::string> TokenMechanisms(bool preferXOAuth2) {
  if (preferXOAuth2) return {"XOAUTH2", "OAUTHBEARER"};
  return {"OAUTHBEARER", "XOAUTH2"};
}

void Authenticate(Mechanism& mechanism, const Credentials& credentials, size_t maxCommand, const Exchange& exchange) {
  const auto refused = [&](const std::string& line) {
    throw ELoginRefused("Login as " + credentials.user + " at " + credentials.host + " refused: " + line,
                        credentials.bearer);
  };
  std::string command = "AUTH " + std::string(mechanism.Name());
  // Taken only when it fits: a mechanism that speaks first then answers the empty challenge.
  if (const auto initial = mechanism.InitialResponse()) {
    const std::string coded = initial->empty() ? "=" : mime::EncodeBase64(*initial);
    if (command.size() + 1 + coded.size() + 2 <= maxCommand) {
      command += " " + coded;
      mechanism.InitialResponseSent();
    }
  }
  Reply reply = exchange(command);
  for (int round = 0; reply.kind == Reply::Challenge; ++round) {
    if (round == kMaxRounds) {
      reply = exchange("*");
      break;
    }
    const std::string challenge = mime::DecodeBase64(reply.text, mime::Base64Pad::Skipped);
    reply = exchange(mime::EncodeBase64(mechanism.Respond(challenge)));
  }
  if (reply.kind != Reply::Success) refused(reply.text);
}

}  // namespace corvane::sasl
