#include "TlsSocketSource.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <mutex>

namespace {

// OpenSSL writes to the socket with write(): a peer that is gone must give an error, not
// end the process.
void ignoreBrokenPipes() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

std::string certificateProblem(long code, const std::string& host) {
  switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "it has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "it is not valid yet";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return "it is self-signed and not among the trusted certificates";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "its issuer is not among the trusted certificates";
    case X509_V_ERR_HOSTNAME_MISMATCH:
      return "its name does not match " + host;
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "it was not issued for the address " + host;
    case X509_V_ERR_CERT_REVOKED:
      return "it has been revoked";
    default:
      return X509_verify_cert_error_string(code);
  }
}

std::string openSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "the server ended the handshake";
  const char* reason = ERR_reason_error_string(code);
  return reason ? reason : "error " + std::to_string(code);
}

}  // namespace

std::string CertificateFingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
  static const char hex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 15];
  }
  return text;
}

std::string NormalizeFingerprint(const std::string& fingerprint) {
  std::string digits;
  for (unsigned char c : fingerprint) {
    if (std::isxdigit(c)) digits += static_cast<char>(std::toupper(c));
  }
  return digits;
}

TTlsSocketSource::TTlsSocketSource(TNotificationWindow* window) : TPlainSocketSource(window) {
  ignoreBrokenPipes();
}

TTlsSocketSource::~TTlsSocketSource() {
  freeSsl();
}

void TTlsSocketSource::freeSsl() {
  if (ssl_) {
    // A close_notify if the socket takes it at once; the connection is reset next anyway.
    if (state_ == State::Open) SSL_shutdown(ssl_);
    SSL_free(ssl_);
  }
  if (ctx_) SSL_CTX_free(ctx_);
  ssl_ = nullptr;
  ctx_ = nullptr;
  state_ = State::Off;
  wantRead_ = wantWrite_ = false;
  ERR_clear_error();
}

bool TTlsSocketSource::Close() {
  freeSsl();
  return TPlainSocketSource::Close();
}

int TTlsSocketSource::verifyPeer(int ok, X509_STORE_CTX* store) {
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* self = static_cast<TTlsSocketSource*>(SSL_get_app_data(ssl));
  if (self->fingerprint_.empty()) self->fingerprint_ = CertificateFingerprint(X509_STORE_CTX_get0_cert(store));
  const std::string pinned = NormalizeFingerprint(self->params_.CertFingerprint);
  if (!pinned.empty() && pinned == NormalizeFingerprint(self->fingerprint_)) return 1;
  if (!ok && self->verifyError_ == 0) self->verifyError_ = X509_STORE_CTX_get_error(store);
  return ok;
}

bool TTlsSocketSource::StartTls(const TTlsParams& params) {
  if (state_ != State::Off || fd_ == NoSocket || !connected_) {
    lastError_ = SOCK_ENOTCONN;
    return false;
  }
  params_ = params;
  error_.clear();
  fingerprint_.clear();
  verifyError_ = 0;
  state_ = State::Handshaking;
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) {
    finishHandshake("Secure connection to " + params_.Host + " failed: " + openSslReason(), SecureFailed);
    return true;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_default_verify_paths(ctx_);
  if (!params_.CAFile.empty() && SSL_CTX_load_verify_locations(ctx_, params_.CAFile.c_str(), nullptr) != 1) {
    finishHandshake("Cannot read trusted certificates from " + params_.CAFile, SecureFailed);
    return true;
  }
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, &TTlsSocketSource::verifyPeer);
  ssl_ = SSL_new(ctx_);
  if (!ssl_ || SSL_set_fd(ssl_, static_cast<int>(fd_)) != 1) {
    finishHandshake("Secure connection to " + params_.Host + " failed: " + openSslReason(), SecureFailed);
    return true;
  }
  SSL_set_app_data(ssl_, this);
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  X509_VERIFY_PARAM* check = SSL_get0_param(ssl_);
  X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  // An address is checked against the certificate's IP entries; a name is sent as SNI and
  // checked against its DNS entries.
  if (X509_VERIFY_PARAM_set1_ip_asc(check, params_.Host.c_str()) != 1) {
    SSL_set_tlsext_host_name(ssl_, params_.Host.c_str());
    X509_VERIFY_PARAM_set1_host(check, params_.Host.c_str(), params_.Host.size());
  }
  SSL_set_connect_state(ssl_);
  driveHandshake();
  return true;
}

void TTlsSocketSource::driveHandshake() {
  wantRead_ = wantWrite_ = false;
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    state_ = State::Open;
    readArmed_ = true;
    // The server may have sent its first line together with the end of the handshake.
    if (SSL_pending(ssl_) > 0) post(FD_READ);
    finishHandshake({}, 0);
    return;
  }
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      wantRead_ = true;
      break;
    case SSL_ERROR_WANT_WRITE:
      wantWrite_ = true;
      break;
    default:
      if (verifyError_ != 0) {
        ERR_clear_error();
        finishHandshake("Certificate of " + params_.Host + " refused: " +
                            certificateProblem(verifyError_, params_.Host) + ". SHA-256 fingerprint: " + fingerprint_,
                        SecureCertificateRefused);
      } else {
        finishHandshake("Secure connection to " + params_.Host + " failed: " + openSslReason(), SecureFailed);
      }
      return;
  }
  updateNotifiers();
}

void TTlsSocketSource::finishHandshake(const std::string& text, int code) {
  error_ = text;
  if (code != 0) state_ = State::Failed;
  updateNotifiers();
  post(FD_SECURE, code);
}

int64_t TTlsSocketSource::Receive(char* buffer, int64_t size) {
  if (state_ == State::Off) return TPlainSocketSource::Receive(buffer, size);
  if (state_ != State::Open) {
    // A read announced before the handshake began; the bytes belong to the handshake.
    lastError_ = SOCK_EWOULDBLOCK;
    return -1;
  }
  ERR_clear_error();
  const int result = SSL_read(ssl_, buffer, static_cast<int>(std::min<int64_t>(size, INT_MAX)));
  if (result <= 0) return failedIo(result, false);
  readArmed_ = true;
  // Decrypted bytes waiting inside OpenSSL do not make the socket readable.
  if (SSL_pending(ssl_) > 0) post(FD_READ);
  updateNotifiers();
  return result;
}

int64_t TTlsSocketSource::Send(const char* data, int64_t size) {
  if (state_ == State::Off) return TPlainSocketSource::Send(data, size);
  if (state_ != State::Open) {
    lastError_ = state_ == State::Handshaking ? SOCK_EWOULDBLOCK : SOCK_ENOTCONN;
    return -1;
  }
  ERR_clear_error();
  const int result = SSL_write(ssl_, data, static_cast<int>(std::min<int64_t>(size, INT_MAX)));
  if (result > 0) return result;
  return failedIo(result, true);
}

int64_t TTlsSocketSource::failedIo(int result, bool writing) {
  const int error = SSL_get_error(ssl_, result);
  const int systemError = errno;
  switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      lastError_ = SOCK_EWOULDBLOCK;
      if (error == SSL_ERROR_WANT_WRITE) {
        writeWanted_ = true;
      } else if (writing) {
        writeAfterRead_ = true;
      } else {
        readArmed_ = true;
      }
      updateNotifiers();
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      break;
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0 && (result == 0 || systemError == 0)) break;  // closed without close_notify
      lastError_ = ERR_peek_error() == 0 ? ErrnoToSocketError(systemError) : SOCK_ECONNABORTED;
      ERR_clear_error();
      if (!writing) postClose(lastError_);
      return -1;
    default:
      lastError_ = SOCK_ECONNABORTED;
      ERR_clear_error();
      if (!writing) postClose(lastError_);
      return -1;
  }
  // The peer closed the connection.
  ERR_clear_error();
  if (writing) {
    lastError_ = ErrnoToSocketError(EPIPE);
    return -1;
  }
  if (connected_) postClose();
  return 0;
}

void TTlsSocketSource::onReadable() {
  switch (state_) {
    case State::Off:
      TPlainSocketSource::onReadable();
      return;
    case State::Handshaking:
      driveHandshake();
      return;
    case State::Failed:
      enableNotifiers(false, false);
      return;
    case State::Open:
      break;
  }
  readArmed_ = false;
  if (writeAfterRead_) {
    writeAfterRead_ = false;
    post(FD_WRITE);
  }
  // The socket's bytes may be only part of a record: ask OpenSSL whether a whole one came.
  char probe;
  ERR_clear_error();
  const int result = SSL_peek(ssl_, &probe, 1);
  if (result > 0) {
    post(FD_READ);
  } else {
    const int error = SSL_get_error(ssl_, result);
    const int systemError = errno;
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      readArmed_ = true;
    } else if (error == SSL_ERROR_ZERO_RETURN ||
               (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && (result == 0 || systemError == 0))) {
      postClose();
    } else if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      postClose(ErrnoToSocketError(systemError));
    } else {
      postClose(SOCK_ECONNABORTED);
    }
    ERR_clear_error();
  }
  updateNotifiers();
}

void TTlsSocketSource::onWritable() {
  if (state_ == State::Handshaking) {
    driveHandshake();
    return;
  }
  if (state_ == State::Failed) {
    enableNotifiers(false, false);
    return;
  }
  TPlainSocketSource::onWritable();
}

void TTlsSocketSource::updateNotifiers() {
  switch (state_) {
    case State::Off:
      TPlainSocketSource::updateNotifiers();
      return;
    case State::Handshaking:
      enableNotifiers(wantRead_, wantWrite_);
      return;
    case State::Failed:
      enableNotifiers(false, false);
      return;
    case State::Open:
      enableNotifiers(
          connected_ && !closePosted_ && ((readArmed_ && (mask_ & (FD_READ | FD_CLOSE))) || writeAfterRead_),
          connected_ && writeWanted_ && (mask_ & FD_WRITE));
      return;
  }
}
