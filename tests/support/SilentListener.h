#pragma once
// Addresses that lose every connection attempt without a word, as a host behind a
// firewall that drops packets does.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

// A loopback listener that never accepts and whose queue is full, so further connects
// stay unanswered (the kernel drops their SYNs): an address that silently loses every
// connection attempt. On 127.0.0.1, or on ::1 at the given port (0: any free one).
class FullBacklogListener {
 public:
  explicit FullBacklogListener(int family = AF_INET, uint16_t port = 0) {
    fd_ = ::socket(family, SOCK_STREAM, 0);
    sockaddr_storage storage{};
    auto* a = reinterpret_cast<sockaddr*>(&storage);
    socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (family == AF_INET6) {
      const int only = 1;
      ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_loopback;
      v6->sin6_port = htons(port);
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      v4->sin_port = htons(port);
    }
    ::bind(fd_, a, length);
    ::listen(fd_, 0);
    ::getsockname(fd_, a, &length);
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    // Fill the accept queue; connects beyond it hang.
    for (int i = 0; i < 4; ++i) {
      int c = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(c, a, length);
      fillers_.push_back(c);
    }
  }
  ~FullBacklogListener() {
    for (int c : fillers_) ::close(c);
    ::close(fd_);
  }
  uint16_t Port() const { return port_; }

 private:
  int fd_;
  uint16_t port_;
  std::vector<int> fillers_;
};
