#pragma once
// The socket event source: one non-blocking POSIX TCP socket watched with
// QSocketNotifiers, behind a small interface so that TLS (TlsSocketSource.h) can sit
// between the socket and the component's buffers. Readiness becomes read, write, connect and close notifications and a
// host lookup becomes a lookup reply, each posted as a TSocketMessage to a hidden
// notification object and handled there on the GUI thread, like the window messages of an
// asynchronous socket service. errno values are reported as the socket error table's
// codes. It knows nothing of the component above it, nor of mail.
//
// Notification rules (what the component relies on):
// - read: posted once when bytes are waiting; posted again only after the next Receive.
// - write: posted after a successful connect and after a Send that could not take all.
// - connect: posted once when a connect completes, carrying the error code (0 on success).
//   A connect that fails at once is reported the same way, asynchronously. Given several
//   addresses, the source tries them in turn, the next one 250 ms after the previous one
//   started or at once when it failed (Happy Eyeballs, RFC 8305); the first to connect
//   wins, the others are closed, and the one notification tells the outcome.
// - close: posted once when the peer closed or reset the connection.
// - secure: posted once when a handshake begun by StartTls ended, carrying the error code
//   (0 on success); TlsError then says why it failed.
// Messages of a socket that has since been closed, the component's own write-now and
// read-now messages among them, are recognised by their serial number and dropped
// (IsCurrent).
#include <QEvent>
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BackgroundTask.h"
#include "NetAddress.h"

class QSocketNotifier;
class QTimer;

// Wide enough for the platform's handles; NoSocket is never a valid handle.
using TSocketHandle = int64_t;
inline constexpr TSocketHandle NoSocket = -1;

// Events of a socket notification (low 16 bits of its parameter).
enum : uint16_t {
  FD_READ = 1,
  FD_WRITE = 2,
  FD_OOB = 4,
  FD_ACCEPT = 8,
  FD_CONNECT = 16,
  FD_CLOSE = 32,
  FD_ALL_EVENTS = 63,
  FD_SECURE = 64  // always posted: only StartTls asks for it
};

// Message numbers of the notification object.
enum : int {
  WM_SOCKET_NOTIFY = 1125,  // socket notification: event | error << 16
  WM_LOOKUP_REPLY = 1126,   // host lookup reply: error << 16
  WM_WRITE_NOW = 1127,      // posted by the component: drain the send queue
  WM_READ_NOW = 1128        // posted by the component: read again
};

// Socket error codes used by the component itself.
enum : int {
  SOCK_EWOULDBLOCK = 10035,
  SOCK_EOPNOTSUPP = 10045,
  SOCK_ECONNABORTED = 10053,
  SOCK_ENOTCONN = 10057,
  SOCK_HOST_NOT_FOUND = 11001,
  SOCK_NO_RECOVERY = 11003,
  SOCK_NO_DATA = 11004
};

class TSocketMessage : public QEvent {
 public:
  TSocketMessage(int message, uint32_t lParam, uint64_t serial = 0, std::vector<TNetAddress> addresses = {});
  static QEvent::Type EventType();

  int Message;
  uint32_t LParam;  // low 16 bits: event; high 16 bits: error code
  uint64_t Serial;  // the socket or lookup the message belongs to
  // Lookup reply: every address of the name, IPv6 first.
  std::vector<TNetAddress> Addresses;

  uint16_t Event() const { return static_cast<uint16_t>(LParam & 0xFFFF); }
  uint16_t Error() const { return static_cast<uint16_t>(LParam >> 16); }
};

// The hidden object the notifications go to. Without a Handler every event takes Qt's
// default path.
class TNotificationWindow : public QObject {
 public:
  std::function<void(const TSocketMessage&)> Handler;

  void Post(int message, uint32_t lParam = 0, uint64_t serial = 0, std::vector<TNetAddress> addresses = {});
  bool event(QEvent* e) override;
};

// errno (or a getaddrinfo-style lookup failure) as a socket error table code.
int ErrnoToSocketError(int error);

// What TLS needs to know about one connection.
struct TTlsParams {
  std::string Host;             // the name or address the certificate must carry; SNI
  std::string CAFile;           // PEM file of extra trusted certificates; empty for none
  std::string CertFingerprint;  // SHA-256 of the one certificate trusted besides the others
};

// The interface the component talks to: open, connect, receive, send, readiness (as
// posted notifications), close.
class TSocketEventSource {
 public:
  virtual ~TSocketEventSource() = default;

  // Creates a non-blocking TCP socket; lingerReset makes closing reset the connection.
  // False with LastError set on failure.
  virtual bool Open(bool lingerReset) = 0;
  // Closes the socket and stops its notifications. False (LastError set, handle kept) when
  // the system refused.
  virtual bool Close() = 0;
  // Chooses the notifications to post (FD_* bits); 0 stops them all.
  virtual void Select(uint16_t mask) = 0;
  // Starts connecting to the addresses (ports set), tried in the order given. Returns false
  // with LastError SOCK_EWOULDBLOCK while the connect goes on; the outcome arrives as one
  // FD_CONNECT. True when the first address connected at once.
  virtual bool Connect(const std::vector<TNetAddress>& addresses) = 0;
  // The address the connection was made to; empty before.
  virtual TNetAddress Peer() const = 0;
  // This end's address of the connection; empty when not connected.
  virtual TNetAddress Local() const = 0;
  // -1 with LastError on failure; 0 means the peer closed.
  virtual int64_t Receive(char* buffer, int64_t size) = 0;
  virtual int64_t Send(const char* data, int64_t size) = 0;
  // Accepts a connection on a listening socket; NoSocket with LastError on failure.
  virtual TSocketHandle Accept(TNetAddress* peer) = 0;

  // Begins a TLS handshake on the connected socket; its outcome arrives as FD_SECURE.
  // False with LastError set when this source cannot.
  virtual bool StartTls(const TTlsParams& params) = 0;
  // Why the last handshake failed; empty after a success.
  virtual std::string TlsError() const = 0;
  // The SHA-256 fingerprint of the certificate the server showed in the last handshake.
  virtual std::string PeerFingerprint() const = 0;
  // True while the bytes go through TLS.
  virtual bool Secure() const = 0;

  virtual TSocketHandle Handle() const = 0;
  // Identifies the current socket; messages stamped with an older one are stale.
  virtual uint64_t Serial() const = 0;
  // True while the socket has never been connected nor asked to connect.
  virtual bool Pristine() const = 0;
  virtual int LastError() const = 0;
  virtual void SetLastError(int code) = 0;
  virtual bool IsCurrent(const TSocketMessage& message) const = 0;

  // Looks a host name up on a worker thread; the reply arrives as WM_LOOKUP_REPLY with
  // every address of the name. A new lookup or CancelLookup makes older replies stale.
  virtual void LookupHost(const std::string& name) = 0;
  virtual void CancelLookup() = 0;

  // Description of the service for the component's SocketInfo.
  static int MaxSockets();
};

// Bytes go to the socket as they are.
class TPlainSocketSource : public TSocketEventSource {
 public:
  explicit TPlainSocketSource(TNotificationWindow* window);
  ~TPlainSocketSource() override;
  TPlainSocketSource(const TPlainSocketSource&) = delete;
  TPlainSocketSource& operator=(const TPlainSocketSource&) = delete;

  bool Open(bool lingerReset) override;
  bool Close() override;
  void Select(uint16_t mask) override;
  bool Connect(const std::vector<TNetAddress>& addresses) override;
  TNetAddress Peer() const override { return peer_; }
  TNetAddress Local() const override;
  int64_t Receive(char* buffer, int64_t size) override;
  int64_t Send(const char* data, int64_t size) override;
  TSocketHandle Accept(TNetAddress* peer) override;
  bool StartTls(const TTlsParams& params) override;
  std::string TlsError() const override { return {}; }
  std::string PeerFingerprint() const override { return {}; }
  bool Secure() const override { return false; }

  TSocketHandle Handle() const override { return fd_; }
  uint64_t Serial() const override { return serial_; }
  bool Pristine() const override { return fd_ != NoSocket && !connecting_ && !connected_ && !closePosted_; }
  int LastError() const override { return lastError_; }
  void SetLastError(int code) override { lastError_ = code; }
  bool IsCurrent(const TSocketMessage& message) const override;
  void LookupHost(const std::string& name) override;
  void CancelLookup() override;

 protected:
  void post(uint16_t event, int error = 0);
  // Readiness of the socket as the notifiers report it.
  virtual void onReadable();
  virtual void onWritable();
  // Which notifiers to listen to; see enableNotifiers.
  virtual void updateNotifiers();
  void enableNotifiers(bool read, bool write);
  // The peer is gone (error 0) or the connection broke: one close notification.
  void postClose(int error = 0);

  TNotificationWindow* window_;
  TSocketHandle fd_ = NoSocket;
  int lastError_ = 0;
  uint16_t mask_ = 0;
  uint64_t serial_ = 0;
  bool connecting_ = false;
  bool connected_ = false;
  bool readArmed_ = false;    // a read notification may be posted
  bool writeWanted_ = false;  // a send could not take everything
  bool closePosted_ = false;

 private:
  // One connection attempt of a connect; the first to succeed becomes the socket.
  struct Attempt {
    int fd;
    TNetAddress address;
    std::unique_ptr<QSocketNotifier> notifier;
  };
  // Starts attempts until one is under way or none is left. False only for the first call
  // of a connect whose every address failed at once by a mistake the caller must raise
  // (LastError set); other failures end in the connect notification.
  bool startNextAttempt(bool first);
  void attemptWritable(int fd);
  // The attempt's socket becomes the source's socket.
  void win(Attempt& attempt);
  void dropAttempt(int fd);
  void dropAttempts();
  // Every attempt failed: one connect notification carrying the last error.
  void failConnect();
  void watchSocket(int fd);

  uint64_t lookupSerial_ = 0;
  TBackgroundTask lookup_;
  std::unique_ptr<QSocketNotifier> readNotifier_;
  std::unique_ptr<QSocketNotifier> writeNotifier_;
  bool lingerReset_ = false;
  TNetAddress peer_;
  std::vector<TNetAddress> pending_;  // addresses not tried yet
  std::vector<Attempt> attempts_;     // attempts under way
  std::unique_ptr<QTimer> nextAttempt_;
  int attemptError_ = 0;  // the last attempt's failure
};

// The delay between the start of one connection attempt and the next (RFC 8305).
inline constexpr int kConnectionAttemptDelayMs = 250;
