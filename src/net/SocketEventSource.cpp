#include "SocketEventSource.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>

#include "Resolver.h"

TSocketMessage::TSocketMessage(int message, uint32_t lParam, uint64_t serial, std::vector<TNetAddress> addresses)
    : QEvent(EventType()), Message(message), LParam(lParam), Serial(serial), Addresses(std::move(addresses)) {}

QEvent::Type TSocketMessage::EventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

void TNotificationWindow::Post(int message, uint32_t lParam, uint64_t serial, std::vector<TNetAddress> addresses) {
  QCoreApplication::postEvent(this, new TSocketMessage(message, lParam, serial, std::move(addresses)));
}

bool TNotificationWindow::event(QEvent* e) {
  if (e->type() != TSocketMessage::EventType() || !Handler) return QObject::event(e);
  // The handler may destroy the component, which then hands this object to deleteLater.
  auto handler = Handler;
  handler(*static_cast<TSocketMessage*>(e));
  return true;
}

int ErrnoToSocketError(int error) {
  switch (error) {
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
      return 10013;
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
      return 10024;
    case ENFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
      return 10055;
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case EPIPE:
      return 10058;
    case ESHUTDOWN:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
    default:
      return error;  // shown as "Unknown Error No. <errno>"
  }
}

namespace {

// Serials are unique in the process: a component may swap its source for another kind,
// and the old one's queued messages must not pass for the new one's.
std::atomic<uint64_t> gSerials{0};

uint64_t nextSerial() {
  return ++gSerials;
}

// A non-blocking TCP socket of the family; lingerReset makes closing reset the connection.
int openSocket(int family, bool lingerReset) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd >= 0 && lingerReset) {
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
  // Every write is a whole command or a block of text: holding a short one back until the
  // last is acknowledged (Nagle) only costs a delayed acknowledgement, 40 ms a time, e.g.
  // between the message text and the line that ends it.
  if (fd >= 0) {
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  }
  return fd;
}

}  // namespace

TPlainSocketSource::TPlainSocketSource(TNotificationWindow* window) : window_(window) {}

TPlainSocketSource::~TPlainSocketSource() {
  CancelLookup();
  TPlainSocketSource::Close();
}

bool TPlainSocketSource::Open(bool lingerReset) {
  // Which family the connection will use is known only at Connect: until then the socket
  // is an IPv4 one, as it always was.
  const int fd = openSocket(AF_INET, lingerReset);
  if (fd < 0) {
    lastError_ = ErrnoToSocketError(errno);
    return false;
  }
  lingerReset_ = lingerReset;
  serial_ = nextSerial();
  connecting_ = connected_ = writeWanted_ = closePosted_ = false;
  readArmed_ = true;
  peer_ = {};
  watchSocket(fd);
  return true;
}

void TPlainSocketSource::watchSocket(int fd) {
  fd_ = fd;
  readNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  readNotifier_->setEnabled(false);
  QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, [this] { onReadable(); });
  writeNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
  writeNotifier_->setEnabled(false);
  QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, [this] { onWritable(); });
}

bool TPlainSocketSource::Close() {
  dropAttempts();
  if (fd_ == NoSocket) return true;
  readNotifier_.reset();
  writeNotifier_.reset();
  serial_ = nextSerial();  // notifications still queued for this socket become stale
  if (::close(static_cast<int>(fd_)) != 0 && errno == EBADF) {
    lastError_ = ErrnoToSocketError(errno);
    return false;
  }
  fd_ = NoSocket;
  connecting_ = connected_ = writeWanted_ = closePosted_ = false;
  return true;
}

void TPlainSocketSource::Select(uint16_t mask) {
  mask_ = mask;
  // A read announced while notifications were off was dropped: look again.
  if (mask & FD_READ) readArmed_ = true;
  updateNotifiers();
}

bool TPlainSocketSource::Connect(const std::vector<TNetAddress>& addresses) {
  if (fd_ == NoSocket) {
    lastError_ = ErrnoToSocketError(ENOTSOCK);
    return false;
  }
  if (addresses.empty()) {
    lastError_ = ErrnoToSocketError(EDESTADDRREQ);
    return false;
  }
  dropAttempts();
  pending_ = addresses;
  attemptError_ = 0;
  connecting_ = true;
  if (!startNextAttempt(true)) {
    connecting_ = false;
    return false;
  }
  if (connected_) return true;
  lastError_ = SOCK_EWOULDBLOCK;
  return false;
}

bool TPlainSocketSource::startNextAttempt(bool first) {
  while (!pending_.empty()) {
    const TNetAddress address = pending_.front();
    pending_.erase(pending_.begin());
    const int fd = openSocket(address.Family(), lingerReset_);
    const int result = fd < 0 ? -1 : ::connect(fd, address.Sockaddr(), address.Length());
    const int error = result == 0 ? 0 : errno;
    if (result == 0 || error == EINPROGRESS || error == EINTR) {
      attempts_.push_back({fd, address, std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write)});
      QObject::connect(attempts_.back().notifier.get(), &QSocketNotifier::activated,
                       [this, fd] { attemptWritable(fd); });
      if (result == 0) {
        win(attempts_.back());
        return true;
      }
      if (!pending_.empty()) {
        if (!nextAttempt_) {
          nextAttempt_ = std::make_unique<QTimer>();
          nextAttempt_->setSingleShot(true);
          QObject::connect(nextAttempt_.get(), &QTimer::timeout, [this] { startNextAttempt(false); });
        }
        nextAttempt_->start(kConnectionAttemptDelayMs);
      }
      return true;
    }
    if (fd >= 0) ::close(fd);
    attemptError_ = error;
  }
  if (!attempts_.empty()) return true;
  // Mistakes of the caller are raised at once, as a single connect always raised them.
  const int error = attemptError_;
  if (first && (error == EALREADY || error == EISCONN || error == EBADF || error == ENOTSOCK || error == EINVAL ||
                error == EAFNOSUPPORT)) {
    lastError_ = ErrnoToSocketError(error);
    return false;
  }
  failConnect();
  return true;
}

void TPlainSocketSource::attemptWritable(int fd) {
  const auto found =
      std::find_if(attempts_.begin(), attempts_.end(), [fd](const Attempt& attempt) { return attempt.fd == fd; });
  if (found == attempts_.end()) return;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0) {
    win(*found);
    return;
  }
  attemptError_ = error;
  dropAttempt(fd);
  // A failed attempt does not wait for the delay: the next one starts at once.
  if (nextAttempt_) nextAttempt_->stop();
  startNextAttempt(false);
}

void TPlainSocketSource::win(Attempt& attempt) {
  const int fd = attempt.fd;
  peer_ = attempt.address;
  attempt.fd = -1;  // now the source's own
  dropAttempts();
  readNotifier_.reset();
  writeNotifier_.reset();
  ::close(static_cast<int>(fd_));
  watchSocket(fd);
  connecting_ = false;
  connected_ = true;
  readArmed_ = true;
  post(FD_CONNECT);
  post(FD_WRITE);
  updateNotifiers();
}

void TPlainSocketSource::failConnect() {
  connecting_ = false;
  closePosted_ = true;
  post(FD_CONNECT, ErrnoToSocketError(attemptError_ != 0 ? attemptError_ : ECONNREFUSED));
}

void TPlainSocketSource::dropAttempt(int fd) {
  for (auto it = attempts_.begin(); it != attempts_.end(); ++it) {
    if (it->fd != fd) continue;
    // The notifier may be the one whose signal is being delivered.
    it->notifier->setEnabled(false);
    it->notifier.release()->deleteLater();
    ::close(fd);
    attempts_.erase(it);
    return;
  }
}

void TPlainSocketSource::dropAttempts() {
  if (nextAttempt_) nextAttempt_->stop();
  pending_.clear();
  for (Attempt& attempt : attempts_) {
    attempt.notifier->setEnabled(false);
    attempt.notifier.release()->deleteLater();
    if (attempt.fd >= 0) ::close(attempt.fd);
  }
  attempts_.clear();
}

TNetAddress TPlainSocketSource::Local() const {
  if (fd_ == NoSocket || !connected_) return {};
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(static_cast<int>(fd_), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return {};
  return TNetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&storage), length).value_or(TNetAddress{});
}

int64_t TPlainSocketSource::Receive(char* buffer, int64_t size) {
  if (fd_ == NoSocket) {
    lastError_ = ErrnoToSocketError(ENOTSOCK);
    return -1;
  }
  ssize_t n = ::recv(static_cast<int>(fd_), buffer, static_cast<size_t>(size), MSG_DONTWAIT);
  if (n < 0) {
    lastError_ = ErrnoToSocketError(errno);
    if (errno == EAGAIN || errno == EWOULDBLOCK) readArmed_ = true;
  } else if (n == 0) {
    if (connected_) postClose();
  } else {
    readArmed_ = true;
  }
  updateNotifiers();
  return n;
}

int64_t TPlainSocketSource::Send(const char* data, int64_t size) {
  if (fd_ == NoSocket || !connected_) {
    lastError_ = fd_ == NoSocket ? ErrnoToSocketError(ENOTSOCK) : SOCK_ENOTCONN;
    return -1;
  }
  ssize_t n = ::send(static_cast<int>(fd_), data, static_cast<size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n < 0) {
    lastError_ = ErrnoToSocketError(errno);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      writeWanted_ = true;
      updateNotifiers();
    }
  }
  return n;
}

TSocketHandle TPlainSocketSource::Accept(TNetAddress* peer) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  int fd =
      ::accept4(static_cast<int>(fd_), reinterpret_cast<sockaddr*>(&storage), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    lastError_ = ErrnoToSocketError(errno);
    return NoSocket;
  }
  if (peer) *peer = TNetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&storage), length).value_or(TNetAddress{});
  return fd;
}

bool TPlainSocketSource::StartTls(const TTlsParams&) {
  lastError_ = SOCK_EOPNOTSUPP;
  return false;
}

bool TPlainSocketSource::IsCurrent(const TSocketMessage& message) const {
  if (message.Message == WM_LOOKUP_REPLY) return message.Serial == lookupSerial_;
  return message.Serial == serial_ && fd_ != NoSocket;
}

void TPlainSocketSource::LookupHost(const std::string& name) {
  CancelLookup();
  const uint64_t serial = lookupSerial_ = nextSerial();
  QPointer<TNotificationWindow> window(window_);
  lookup_.Start([name, serial, window]() -> std::function<void()> {
    corvane::dns::TAddressAnswer answer = corvane::dns::LookupAddresses(name);
    return [answer = std::move(answer), serial, window] {
      if (!window) return;
      int error = 0;
      switch (answer.Status) {
        case corvane::dns::TLookupStatus::Found:
          break;
        case corvane::dns::TLookupStatus::NoSuchName:
          error = SOCK_HOST_NOT_FOUND;
          break;
        case corvane::dns::TLookupStatus::NoData:
          error = SOCK_NO_DATA;
          break;
        case corvane::dns::TLookupStatus::Failed:
          error = SOCK_NO_RECOVERY;
          break;
      }
      window->Post(WM_LOOKUP_REPLY, static_cast<uint32_t>(error) << 16, serial, answer.Addresses);
    };
  });
}

void TPlainSocketSource::CancelLookup() {
  lookup_.Cancel();
  lookupSerial_ = nextSerial();
}

int TSocketEventSource::MaxSockets() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > 65535) return 65535;
  return static_cast<int>(limit.rlim_cur);
}

void TPlainSocketSource::post(uint16_t event, int error) {
  if (!(mask_ & event) && event != FD_SECURE) return;
  window_->Post(WM_SOCKET_NOTIFY, (static_cast<uint32_t>(error) << 16) | event, serial_);
}

void TPlainSocketSource::onReadable() {
  readArmed_ = false;
  char probe;
  ssize_t n = ::recv(static_cast<int>(fd_), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) {
    post(FD_READ);
  } else if (n == 0) {
    postClose();
  } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    readArmed_ = true;
  } else {
    postClose(ErrnoToSocketError(errno));
  }
  updateNotifiers();
}

void TPlainSocketSource::onWritable() {
  writeWanted_ = false;
  post(FD_WRITE);
  updateNotifiers();
}

void TPlainSocketSource::postClose(int error) {
  if (closePosted_) return;
  closePosted_ = true;
  post(FD_CLOSE, error);
}

void TPlainSocketSource::updateNotifiers() {
  if (fd_ == NoSocket) return;
  enableNotifiers(connected_ && readArmed_ && !closePosted_ && (mask_ & (FD_READ | FD_CLOSE)),
                  connected_ && writeWanted_ && (mask_ & FD_WRITE));
}

void TPlainSocketSource::enableNotifiers(bool read, bool write) {
  if (fd_ == NoSocket) return;
  if (readNotifier_->isEnabled() != read) readNotifier_->setEnabled(read);
  if (writeNotifier_->isEnabled() != write) writeNotifier_->setEnabled(write);
}
