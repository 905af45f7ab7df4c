#include "SocketEventSource.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

TSocketMessage::TSocketMessage(int message, uint32_t lParam, uint64_t serial, uint32_t address)
    : QEvent(EventType()), Message(message), LParam(lParam), Serial(serial), Address(address) {}

QEvent::Type TSocketMessage::EventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

void TNotificationWindow::Post(int message, uint32_t lParam, uint64_t serial, uint32_t address) {
  QCoreApplication::postEvent(this, new TSocketMessage(message, lParam, serial, address));
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

}  // namespace

TPlainSocketSource::TPlainSocketSource(TNotificationWindow* window) : window_(window) {}

TPlainSocketSource::~TPlainSocketSource() {
  CancelLookup();
  TPlainSocketSource::Close();
}

bool TPlainSocketSource::Open(bool lingerReset) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    lastError_ = ErrnoToSocketError(errno);
    return false;
  }
  if (lingerReset) {
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
  // Every write is a whole command or a block of text: holding a short one back until the
  // last is acknowledged (Nagle) only costs a delayed acknowledgement, 40 ms a time, e.g.
  // between the message text and the line that ends it.
  const int noDelay = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  fd_ = fd;
  serial_ = nextSerial();
  connecting_ = connected_ = writeWanted_ = closePosted_ = false;
  readArmed_ = true;
  readNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  readNotifier_->setEnabled(false);
  QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, [this] { onReadable(); });
  writeNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
  writeNotifier_->setEnabled(false);
  QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, [this] { onWritable(); });
  return true;
}

bool TPlainSocketSource::Close() {
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

bool TPlainSocketSource::Connect(uint32_t addressNetworkOrder, uint16_t port) {
  if (fd_ == NoSocket) {
    lastError_ = ErrnoToSocketError(ENOTSOCK);
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = addressNetworkOrder;
  if (::connect(static_cast<int>(fd_), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    connected_ = true;
    post(FD_CONNECT);
    post(FD_WRITE);
    updateNotifiers();
    return true;
  }
  int error = errno;
  if (error == EALREADY || error == EISCONN || error == EBADF || error == ENOTSOCK || error == EINVAL ||
      error == EAFNOSUPPORT) {
    lastError_ = ErrnoToSocketError(error);
    return false;
  }
  lastError_ = SOCK_EWOULDBLOCK;
  if (error == EINPROGRESS || error == EINTR) {
    connecting_ = true;
    updateNotifiers();
  } else {
    // Refused or unreachable at once: reported like a connect that failed later.
    closePosted_ = true;
    post(FD_CONNECT, ErrnoToSocketError(error));
  }
  return false;
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

TSocketHandle TPlainSocketSource::Accept(sockaddr_in* peer) {
  socklen_t length = sizeof(sockaddr_in);
  int fd = ::accept4(static_cast<int>(fd_), reinterpret_cast<sockaddr*>(peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    lastError_ = ErrnoToSocketError(errno);
    return NoSocket;
  }
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
  uint64_t serial = lookupSerial_ = nextSerial();
  QPointer<TNotificationWindow> window(window_);
  // The whole name is looked up, however long.
  lookupId_ =
      QHostInfo::lookupHost(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())), window_,
                            [window, serial](const QHostInfo& info) {
                              if (!window) return;
                              uint32_t address = 0;
                              for (const QHostAddress& candidate : info.addresses()) {
                                if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
                                  address = htonl(candidate.toIPv4Address());
                                  break;
                                }
                              }
                              int error = 0;
                              if (info.error() == QHostInfo::HostNotFound) {
                                error = SOCK_HOST_NOT_FOUND;
                              } else if (info.error() != QHostInfo::NoError) {
                                error = SOCK_NO_RECOVERY;
                              } else if (address == 0) {
                                error = SOCK_NO_DATA;
                              }
                              window->Post(WM_LOOKUP_REPLY, static_cast<uint32_t>(error) << 16, serial, address);
                            });
}

void TPlainSocketSource::CancelLookup() {
  if (lookupId_ >= 0) QHostInfo::abortHostLookup(lookupId_);
  lookupId_ = -1;
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
  if (connecting_) {
    finishConnect();
  } else {
    writeWanted_ = false;
    post(FD_WRITE);
  }
  updateNotifiers();
}

void TPlainSocketSource::finishConnect() {
  connecting_ = false;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(static_cast<int>(fd_), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    error = errno;
  }
  if (error != 0) {
    closePosted_ = true;
    post(FD_CONNECT, ErrnoToSocketError(error));
    return;
  }
  connected_ = true;
  readArmed_ = true;
  post(FD_CONNECT);
  post(FD_WRITE);
}

void TPlainSocketSource::postClose(int error) {
  if (closePosted_) return;
  closePosted_ = true;
  post(FD_CLOSE, error);
}

void TPlainSocketSource::updateNotifiers() {
  if (fd_ == NoSocket) return;
  enableNotifiers(connected_ && readArmed_ && !closePosted_ && (mask_ & (FD_READ | FD_CLOSE)),
                  connecting_ || (connected_ && writeWanted_ && (mask_ & FD_WRITE)));
}

void TPlainSocketSource::enableNotifiers(bool read, bool write) {
  if (fd_ == NoSocket) return;
  if (readNotifier_->isEnabled() != read) readNotifier_->setEnabled(read);
  if (writeNotifier_->isEnabled() != write) writeNotifier_->setEnabled(write);
}
