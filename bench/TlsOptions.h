#pragma once
// The TLS and login options the whole-program benchmarks pass to our clients. They are
// applied only when the client has the properties, so the drivers build with any client;
// asking for TLS from a client without it is an error, not a silent plain run.
#include <string>
#include <type_traits>

// mode: "none", "starttls" or "ssl"; caFile: PEM of extra trusted certificates.
template <typename Client>
bool ApplySecurity(Client& client, const std::string& mode, const std::string& caFile, std::string* why) {
  const int value = mode.empty() || mode == "none" ? 0 : mode == "starttls" ? 1 : mode == "ssl" ? 2 : -1;
  if (value < 0) {
    *why = "unknown security mode '" + mode + "' (none, starttls or ssl)";
    return false;
  }
  if constexpr (requires {
                  client.Security = {};
                  client.CAFile = caFile;
                }) {
    // The setting's values in their order: None, STARTTLS, SSL/TLS.
    client.Security = static_cast<std::remove_cvref_t<decltype(client.Security)>>(value);
    client.CAFile = caFile;
    return true;
  } else {
    if (value == 0 && caFile.empty()) return true;
    *why = "this build of the client has no TLS";
    return false;
  }
}

template <typename Client>
bool ApplyLogin(Client& client, const std::string& user, const std::string& password, std::string* why) {
  if constexpr (requires {
                  client.AuthUser = user;
                  client.AuthPassword = password;
                }) {
    client.AuthUser = user;
    client.AuthPassword = password;
    return true;
  } else {
    if (user.empty()) return true;
    *why = "this build of the client has no SMTP login";
    return false;
  }
}
