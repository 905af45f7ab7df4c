#pragma once
// Helpers shared by the socket component tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "ZnSock.h"

// Pumps Qt events until pred holds or ms passed; returns pred().
inline bool PumpUntil(const std::function<bool()>& pred, int ms = 5000) {
  QDeadlineTimer deadline(ms);
  while (!pred() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return pred();
}

// Runs action once a wait has pumped events for ms milliseconds, unless scope is gone by
// then (give each test its own scope, so nothing leaks into the next test).
inline void Later(QObject* scope, int ms, std::function<void()> action) {
  QTimer::singleShot(ms, scope, std::move(action));
}

// A socket that counts Abort calls and opens its protected members to the tests.
class TTestSocket : public TZnSocket {
 public:
  int Aborts = 0;
  void Abort() override { ++Aborts; }
  using TZnSocket::SocketService;
};

// Records every status text reported.
struct StatusLog {
  std::vector<std::string> Texts;
  void Attach(TZnSocket& socket) {
    socket.OnStatus = [this](TObject*, const std::string& text) { Texts.push_back(text); };
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (const auto& t : Texts) n += t == text;
    return n;
  }
};

// A loopback port with nothing listening on it.
inline uint16_t ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A loopback listener that never accepts and whose queue is full, so further connects
// stay unanswered (the kernel drops their SYNs).
class FullBacklogListener {
 public:
  FullBacklogListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
    // Fill the accept queue; connects beyond it hang.
    for (int i = 0; i < 4; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
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
