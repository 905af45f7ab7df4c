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

#include "SilentListener.h"
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
