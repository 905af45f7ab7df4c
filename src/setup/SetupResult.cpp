#include "SetupResult.h"

#include <algorithm>
#include <cctype>

#include "Resolver.h"

namespace corvane::setup {

const char* SecurityText(TSecurity security) {
  switch (security) {
    case secSSLTLS:
      return "SSL/TLS";
    case secStartTLS:
      return "STARTTLS";
    default:
      return "None";
  }
}

bool SplitAddress(const std::string& address, std::string& localPart, std::string& domain) {
  const size_t at = address.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == address.size()) return false;
  localPart = address.substr(0, at);
  domain = address.substr(at + 1);
  if (!domain.empty() && domain.back() == '.') domain.pop_back();
  std::transform(domain.begin(), domain.end(), domain.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool plainLocal = std::none_of(localPart.begin(), localPart.end(),
                                       [](unsigned char c) { return c <= ' ' || c == 127 || c == '<' || c == '>'; });
  return plainLocal && domain.find('.') != std::string::npos && corvane::dns::IsHostName(domain);
}

}  // namespace corvane::setup
