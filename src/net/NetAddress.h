#pragma once
// One endpoint of either address family, and the ways the program writes and reads
// addresses: literals typed into a host field (an IPv6 one with or without brackets),
// endpoints in status and error texts ("127.0.0.1:995", "[::1]:995") and the address
// literal of an SMTP greeting ("[127.0.0.1]", "[IPv6:::1]", RFC 5321).
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TNetAddress {
 public:
  TNetAddress() = default;
  // Null for a family other than IPv4 and IPv6, or a length too short for it.
  static std::optional<TNetAddress> FromSockaddr(const sockaddr* address, socklen_t length);
  // A dotted-decimal IPv4 address or an IPv6 address, the latter with or without its
  // brackets (and with a zone such as "%eth0"); null for anything else, names included.
  static std::optional<TNetAddress> Parse(std::string_view text, uint16_t port = 0);

  bool Empty() const { return length_ == 0; }
  int Family() const;
  uint16_t Port() const;
  void SetPort(uint16_t port);
  const sockaddr* Sockaddr() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t Length() const { return length_; }

  // The address alone: "127.0.0.1", "::1".
  std::string Text() const;
  // With the port: "127.0.0.1:995", "[::1]:995".
  std::string Endpoint() const;
  // As an SMTP greeting names a client without a name: "[127.0.0.1]", "[IPv6:::1]".
  std::string GreetingLiteral() const;

  bool operator==(const TNetAddress& other) const;

 private:
  sockaddr_storage storage_{};
  socklen_t length_ = 0;
};

namespace corvane::net {

// A host field's text without the brackets of an IPv6 literal ("[::1]" gives "::1");
// any other text as it is.
std::string BareHost(std::string_view host);
// The order of connection attempts (RFC 8305): the families take turns, IPv6 first, each
// keeping the order it came in.
std::vector<TNetAddress> InterleaveFamilies(const std::vector<TNetAddress>& addresses);

}  // namespace corvane::net
