#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <chrono>
#include <csignal>
#include <stdexcept>

namespace {

std::string visible(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 32 || c >= 127) {
      static const char hex[] = "0123456789ABCDEF";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ScriptedServer::Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    switch (c) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
        out += '\0';
        break;
      case '\\':
        out += '\\';
        break;
      case 'x':
        if (i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
          out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
          i += 2;
          break;
        }
        [[fallthrough]];
      default:
        out += '\\';
        out += c;
    }
  }
  return out;
}

ScriptedServer::ScriptedServer(std::string script, int stepTimeoutMs) : stepTimeoutMs_(stepTimeoutMs) {
  setUp(script);
}

ScriptedServer::ScriptedServer(std::string script, const ScriptedTlsIdentity& tls, int stepTimeoutMs)
    : stepTimeoutMs_(stepTimeoutMs) {
  useTls(tls);
  setUp(script);
}

ScriptedServer::ScriptedServer(OnIpv6Loopback, std::string script, const ScriptedTlsIdentity* tls)
    : stepTimeoutMs_(10000), ipv6_(true) {
  if (tls) useTls(*tls);
  setUp(script);
}

void ScriptedServer::useTls(const ScriptedTlsIdentity& tls) {
  // A client that is gone must fail a TLS write, not end the test process.
  std::signal(SIGPIPE, SIG_IGN);
  tlsContext_ = SSL_CTX_new(TLS_server_method());
  BIO* certBio = BIO_new_mem_buf(tls.CertPem.data(), static_cast<int>(tls.CertPem.size()));
  BIO* keyBio = BIO_new_mem_buf(tls.KeyPem.data(), static_cast<int>(tls.KeyPem.size()));
  X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
  const bool ok = tlsContext_ && cert && key && SSL_CTX_use_certificate(tlsContext_, cert) == 1 &&
                  SSL_CTX_use_PrivateKey(tlsContext_, key) == 1;
  X509_free(cert);
  EVP_PKEY_free(key);
  BIO_free(certBio);
  BIO_free(keyBio);
  if (!ok) throw std::runtime_error("ScriptedServer: bad TLS identity");
}

void ScriptedServer::setUp(const std::string& script) {
  size_t start = 0;
  int number = 0;
  while (start <= script.size()) {
    size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    ++number;
    Step step{line[0], {}, number, line};
    if (line.size() >= 2 && line[1] == ':') {
      step.text = line.substr(line.size() > 2 && line[2] == ' ' ? 3 : 2);
    }
    if (step.kind == 'S' || step.kind == 'R' || step.kind == 'C') step.text = Unescape(step.text);
    const bool counted = step.kind == 'B' || step.kind == 'W';
    if (std::string("SRCBWXEAT").find(step.kind) == std::string::npos || (step.kind == 'T' && !tlsContext_) ||
        (counted && (step.text.empty() || step.text.size() > 9 ||
                     step.text.find_first_not_of("0123456789") != std::string::npos))) {
      // Found here rather than on the server thread, where it could only abort the run.
      throw std::invalid_argument("bad script line: " + line);
    }
    steps_.push_back(step);
  }

  listenOn();
  thread_ = std::thread([this] { run(); });
}

void ScriptedServer::listenOn() {
  listenFd_ = ::socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("ScriptedServer: socket failed");
  sockaddr_storage storage{};
  socklen_t length = ipv6_ ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (ipv6_) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  auto* address = reinterpret_cast<sockaddr*>(&storage);
  if (::bind(listenFd_, address, length) != 0 || ::listen(listenFd_, 4) != 0 ||
      ::getsockname(listenFd_, address, &length) != 0) {
    ::close(listenFd_);
    throw std::runtime_error(ipv6_ ? "ScriptedServer: cannot listen on ::1"
                                   : "ScriptedServer: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(ipv6_ ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  closeClient();
  if (listenFd_ >= 0) ::close(listenFd_);
  if (tlsContext_) SSL_CTX_free(tlsContext_);
}

void ScriptedServer::run() {
  if (acceptClient()) {
    for (const Step& step : steps_) {
      if (stop_ || !runStep(step)) break;
    }
  } else {
    std::lock_guard lock(mutex_);
    failures_.push_back("no client connected");
  }
  closeClient();
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  done_.notify_all();
}

bool ScriptedServer::runStep(const Step& step) {
  std::string got;
  switch (step.kind) {
    case 'S':
      return sendAll(step.text + "\r\n") || (fail(step, "send failed"), false);
    case 'R':
      return sendAll(step.text) || (fail(step, "send failed"), false);
    case 'C':
      if (!readUntil(0, true, got)) {
        fail(step, "no line; pending \"" + visible(pending_) + "\"");
        return false;
      }
      if (got != step.text + "\r\n") fail(step, "got \"" + visible(got) + "\"");
      return true;
    case 'B': {
      size_t count = std::stoul(step.text);
      if (!readUntil(count, false, got)) {
        fail(step, "only " + std::to_string(pending_.size()) + " bytes");
        return false;
      }
      return true;
    }
    case 'W': {
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(step.text));
      while (!stop_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return true;
    }
    case 'X':
      closeClient();
      return true;
    case 'E': {
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(stepTimeoutMs_);
      while (clientFd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (stop_ || left.count() <= 0) {
          fail(step, "client did not close");
          return false;
        }
        if (!readMore(static_cast<int>(left.count()))) break;
      }
      pending_.clear();
      closeClient();
      return true;
    }
    case 'T':
      return handshake(step);
    case 'A':
      closeClient();
      pending_.clear();
      if (!acceptClient()) {
        fail(step, "no client connected");
        return false;
      }
      return true;
  }
  return false;
}

bool ScriptedServer::acceptClient() {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(stepTimeoutMs_);
  while (!stop_ && std::chrono::steady_clock::now() < until) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) {
      clientFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (clientFd_ >= 0) {
        // A client that stops reading fails the step instead of blocking the server for good.
        timeval limit{stepTimeoutMs_ / 1000, (stepTimeoutMs_ % 1000) * 1000};
        ::setsockopt(clientFd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ++connections_;
        return true;
      }
    }
  }
  return false;
}

void ScriptedServer::closeClient() {
  if (tls_) SSL_free(tls_);
  tls_ = nullptr;
  if (clientFd_ >= 0) ::close(clientFd_);
  clientFd_ = -1;
}

bool ScriptedServer::handshake(const Step& step) {
  const bool refusal = step.text == "refused";
  if (clientFd_ < 0) {
    fail(step, "no client");
    return false;
  }
  // Bounded like every step: a client that never answers fails the accept.
  timeval limit{stepTimeoutMs_ / 1000, (stepTimeoutMs_ % 1000) * 1000};
  ::setsockopt(clientFd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  tls_ = SSL_new(tlsContext_);
  SSL_set_fd(tls_, clientFd_);
  ERR_clear_error();
  const bool accepted = SSL_accept(tls_) == 1;
  ERR_clear_error();
  if (accepted == !refusal) return true;
  fail(step, accepted ? "the client accepted the handshake" : "handshake failed");
  return false;
}

bool ScriptedServer::sendAll(const std::string& bytes) {
  size_t sent = 0;
  while (clientFd_ >= 0 && sent < bytes.size()) {
    ssize_t n = tls_ ? SSL_write(tls_, bytes.data() + sent, static_cast<int>(bytes.size() - sent))
                     : ::send(clientFd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return sent == bytes.size();
}

bool ScriptedServer::readMore(int timeoutMs) {
  if (clientFd_ < 0) return false;
  if (!tls_ || SSL_pending(tls_) == 0) {
    pollfd p{clientFd_, POLLIN, 0};
    int ready = ::poll(&p, 1, std::min(timeoutMs, 20));
    if (ready <= 0) return true;  // nothing yet; the caller checks its deadline
  }
  char buffer[65536];
  ssize_t n = tls_ ? SSL_read(tls_, buffer, sizeof buffer) : ::recv(clientFd_, buffer, sizeof buffer, 0);
  if (n < 0 && tls_ && SSL_get_error(tls_, static_cast<int>(n)) == SSL_ERROR_WANT_READ) return true;
  if (n <= 0) {
    closeClient();
    return false;
  }
  pending_.append(buffer, static_cast<size_t>(n));
  std::lock_guard lock(mutex_);
  received_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool ScriptedServer::readUntil(size_t wanted, bool line, std::string& out) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(stepTimeoutMs_);
  for (;;) {
    size_t end = std::string::npos;
    if (line) {
      size_t lf = pending_.find('\n');
      if (lf != std::string::npos) end = lf + 1;
    } else if (pending_.size() >= wanted) {
      end = wanted;
    }
    if (end != std::string::npos) {
      out = pending_.substr(0, end);
      pending_.erase(0, end);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (stop_ || left.count() <= 0) return false;
    if (!readMore(static_cast<int>(left.count()))) return false;
  }
}

void ScriptedServer::fail(const Step& step, const std::string& text) {
  std::lock_guard lock(mutex_);
  failures_.push_back("step " + std::to_string(step.number) + " (" + step.source + "): " + text);
}

bool ScriptedServer::WaitFinished(int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!finished_) {
    if (deadline.hasExpired()) return false;
    if (QCoreApplication::instance()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, std::chrono::milliseconds(2), [this] { return finished_.load(); });
  }
  return true;
}

std::string ScriptedServer::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::string ScriptedServer::Failures() const {
  std::lock_guard lock(mutex_);
  std::string out;
  for (const auto& f : failures_) out += f + "\n";
  return out;
}
