#include "NetAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

std::optional<TNetAddress> TNetAddress::FromSockaddr(const sockaddr* address, socklen_t length) {
  if (!address) return std::nullopt;
  const bool v4 = address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in));
  const bool v6 = address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6));
  if (!v4 && !v6) return std::nullopt;
  TNetAddress out;
  out.length_ = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  std::memcpy(&out.storage_, address, out.length_);
  return out;
}

std::optional<TNetAddress> TNetAddress::Parse(std::string_view text, uint16_t port) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const bool bracketed = text.size() >= 2 && text.front() == '[' && text.back() == ']';
  const std::string bare(bracketed ? text.substr(1, text.size() - 2) : text);
  TNetAddress out;
  if (!bracketed) {
    // Only the four dotted parts: "127.1" is a name here, as it always was.
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage_);
    if (inet_pton(AF_INET, bare.c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      out.length_ = sizeof(sockaddr_in);
      out.SetPort(port);
      return out;
    }
  }
  if (bare.find(':') == std::string::npos) return std::nullopt;
  // getaddrinfo reads the zone of a link-local address as well.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(bare.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  auto parsed = FromSockaddr(found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  if (parsed) parsed->SetPort(port);
  return parsed;
}

int TNetAddress::Family() const {
  return length_ == 0 ? AF_UNSPEC : storage_.ss_family;
}

uint16_t TNetAddress::Port() const {
  if (Family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
  if (Family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return 0;
}

void TNetAddress::SetPort(uint16_t port) {
  if (Family() == AF_INET) reinterpret_cast<sockaddr_in*>(&storage_)->sin_port = htons(port);
  if (Family() == AF_INET6) reinterpret_cast<sockaddr_in6*>(&storage_)->sin6_port = htons(port);
}

std::string TNetAddress::Text() const {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
  if (Family() == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr, text, sizeof text);
    return text;
  }
  if (Family() != AF_INET6) return {};
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage_);
  inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
  std::string out = text;
  char zone[IF_NAMESIZE] = {};
  if (v6->sin6_scope_id != 0)
    out += "%" + std::string(if_indextoname(v6->sin6_scope_id, zone) ? zone : std::to_string(v6->sin6_scope_id));
  return out;
}

std::string TNetAddress::Endpoint() const {
  if (Family() == AF_INET6) return "[" + Text() + "]:" + std::to_string(Port());
  return Text() + ":" + std::to_string(Port());
}

std::string TNetAddress::GreetingLiteral() const {
  if (Family() == AF_INET6) return "[IPv6:" + Text().substr(0, Text().find('%')) + "]";
  return "[" + Text() + "]";
}

bool TNetAddress::operator==(const TNetAddress& other) const {
  return length_ == other.length_ && std::memcmp(&storage_, &other.storage_, length_) == 0;
}

namespace corvane::net {

std::string BareHost(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return std::string(host.substr(1, host.size() - 2));
  return std::string(host);
}

std::vector<TNetAddress> InterleaveFamilies(const std::vector<TNetAddress>& addresses) {
  std::vector<TNetAddress> v6;
  std::vector<TNetAddress> v4;
  for (const TNetAddress& address : addresses) (address.Family() == AF_INET6 ? v6 : v4).push_back(address);
  std::vector<TNetAddress> out;
  for (size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
    if (i < v6.size()) out.push_back(v6[i]);
    if (i < v4.size()) out.push_back(v4[i]);
  }
  return out;
}

}  // namespace corvane::net
