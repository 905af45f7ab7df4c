#pragma once
// ScriptedServer: a loopback TCP server that plays a dialogue for protocol tests.
//
// It listens on 127.0.0.1 on a free port as soon as it is constructed, and plays its
// script on its own thread against the first client that connects. The client under
// test runs on the test's thread and pumps Qt events; the server never needs them.
//
//   ScriptedServer server("S: +OK ready\n"
//                         "C: USER alice\n"
//                         "S: +OK\n"
//                         "X\n");
//   pop.Host = "127.0.0.1";
//   pop.Port = server.Port();
//   ...
//   ASSERT_TRUE(server.WaitFinished());      // bounded; pumps Qt events meanwhile
//   EXPECT_EQ(server.Failures(), "");        // one line per failed step
//   EXPECT_EQ(server.Received(), "USER alice\r\n...");  // every byte the client sent
//
// Script: one step per line; empty lines and lines starting with '#' are skipped.
//   S: text   send text followed by CR LF
//   R: text   send text raw, without CR LF (pair with W: to split a line over packets)
//   C: text   read one line (through LF); it must be exactly text + CR LF
//   B: n      read exactly n bytes, whatever they are
//   W: ms     pause
//   X         close the connection
//   E         wait until the client closes the connection (bytes it sends are recorded)
//   A         accept the next connection (the first is accepted before the first step)
//   T         TLS handshake as the server, with the identity given to the constructor; the
//             steps after it go through TLS (Received() records the decrypted bytes)
//   T: refused  a TLS handshake that the client must break off (it refuses the certificate)
// In S:, R: and C: texts, \r \n \t \0 \\ and \xHH stand for those bytes.
//
// Every read and accept is bounded by StepTimeoutMs (default 10 s); a step that fails or
// times out is recorded and ends the script. Scripts can be kept as files:
// ScriptedServer(ScriptedServer::LoadScript("pop3/login.txt")) reads tests/data/pop3/login.txt.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Streams.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// The certificate and key (PEM) a scripted server shows in a T step.
struct ScriptedTlsIdentity {
  std::string CertPem;
  std::string KeyPem;
};

class ScriptedServer {
 public:
  explicit ScriptedServer(std::string script, int stepTimeoutMs = 10000);
  ScriptedServer(std::string script, const ScriptedTlsIdentity& tls, int stepTimeoutMs = 10000);
  // The same on ::1 instead of 127.0.0.1 (tls may be null).
  struct OnIpv6Loopback {};
  ScriptedServer(OnIpv6Loopback, std::string script, const ScriptedTlsIdentity* tls = nullptr);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t Port() const { return port_; }

  // Waits until the script has run to its end (or failed), processing Qt events meanwhile
  // when an application object exists. False when timeoutMs passed first.
  bool WaitFinished(int timeoutMs = 10000);
  bool Finished() const { return finished_; }

  // Every byte received from the client so far.
  std::string Received() const;
  // Failed steps, one line each ("step 3 (C: USER alice): got \"USER bob\\r\\n\""); empty
  // when every step passed.
  std::string Failures() const;
  // Number of connections accepted.
  int Connections() const { return connections_; }

#ifdef CORVANE_TEST_DATA
  // Reads tests/data/<relativePath>.
  static std::string LoadScript(const std::string& relativePath) {
    return corvane::ReadFile(std::string(CORVANE_TEST_DATA) + "/" + relativePath);
  }
#endif
  // Turns \r \n \t \0 \\ \xHH into their bytes.
  static std::string Unescape(const std::string& text);

 private:
  struct Step {
    char kind;
    std::string text;
    int number;
    std::string source;
  };

  void run();
  bool runStep(const Step& step);
  bool acceptClient();
  void closeClient();
  bool sendAll(const std::string& bytes);
  // Reads into pending_ until pred holds; false on timeout, close or stop.
  bool readUntil(size_t wanted, bool line, std::string& out);
  bool readMore(int timeoutMs);
  void fail(const Step& step, const std::string& text);
  bool handshake(const Step& step);
  void setUp(const std::string& script);
  void useTls(const ScriptedTlsIdentity& tls);
  void listenOn();

  std::vector<Step> steps_;
  int stepTimeoutMs_;
  bool ipv6_ = false;
  int listenFd_ = -1;
  int clientFd_ = -1;
  uint16_t port_ = 0;
  std::string pending_;  // received, not yet consumed by a step
  SSL_CTX* tlsContext_ = nullptr;
  SSL* tls_ = nullptr;  // the client's TLS session after a T step

  mutable std::mutex mutex_;
  std::condition_variable done_;
  std::string received_;
  std::vector<std::string> failures_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};
