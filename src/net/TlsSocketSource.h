#pragma once
// The OpenSSL socket event source: the plain socket until StartTls, TLS from then on.
// The handshake runs on the socket's readiness like every other wait, so cancel and the
// time-out keep working inside it. Readiness counts the bytes OpenSSL already holds
// decrypted, which the socket itself no longer shows.
//
// Checks: TLS 1.2 or newer; the system's trusted certificates plus an optional PEM file;
// the host name (SNI sent) or the IP address against the certificate. A certificate whose
// SHA-256 fingerprint equals the pinned one is trusted whatever the checks say.
#include <openssl/types.h>

#include <string>

#include "SocketEventSource.h"

// The error code of an FD_SECURE notification.
enum : int {
  SecureFailed = 1,             // the handshake failed, was refused or cut off
  SecureCertificateRefused = 2  // the server's certificate did not pass the checks
};

class TTlsSocketSource : public TPlainSocketSource {
 public:
  explicit TTlsSocketSource(TNotificationWindow* window);
  ~TTlsSocketSource() override;

  bool Close() override;
  int64_t Receive(char* buffer, int64_t size) override;
  int64_t Send(const char* data, int64_t size) override;
  bool StartTls(const TTlsParams& params) override;
  std::string TlsError() const override { return error_; }
  std::string PeerFingerprint() const override { return fingerprint_; }
  bool Secure() const override { return state_ == State::Open; }

 protected:
  void onReadable() override;
  void onWritable() override;
  void updateNotifiers() override;

 private:
  enum class State { Off, Handshaking, Open, Failed };
  static int verifyPeer(int ok, X509_STORE_CTX* store);
  void driveHandshake();
  // Ends the handshake with FD_SECURE carrying code (0: success).
  void finishHandshake(const std::string& text, int code);
  void freeSsl();
  // -1 with LastError from an OpenSSL result; 0 when the peer closed.
  int64_t failedIo(int result, bool writing);

  State state_ = State::Off;
  TTlsParams params_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool wantRead_ = false;        // the handshake waits for the socket to be readable
  bool wantWrite_ = false;       // ... or writable
  bool writeAfterRead_ = false;  // a send waits for the socket to be readable
  long verifyError_ = 0;         // the first failed certificate check
  std::string error_;
  std::string fingerprint_;
};

// The SHA-256 fingerprint of a certificate as upper-case hex pairs joined by ":".
std::string CertificateFingerprint(X509* certificate);
// A fingerprint reduced to its hex digits in upper case, so "ab:cd" matches "ABCD".
std::string NormalizeFingerprint(const std::string& fingerprint);
