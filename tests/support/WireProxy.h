#pragma once
// A relay on 127.0.0.1 in front of any local port, run as its own process
// (scripts/testservers.py proxy), so it keeps relaying while the test's thread is blocked
// in the program's socket waits. It records every byte both ways, in the order it arrived,
// and can hold each direction back by a fixed delay to imitate a distant server.
// Destroying the object stops the relay process and removes the recording.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QProcess;
class QTemporaryDir;

// How long each direction's bytes are held back (latency, not bandwidth).
struct WireDelays {
  int clientToServerMs = 0;
  int serverToClientMs = 0;
};

class WireProxy {
 public:
  // On failure returns nullptr and puts the reason into *why.
  static std::unique_ptr<WireProxy> Start(uint16_t targetPort, WireDelays delays = {}, std::string* why = nullptr);
  ~WireProxy();
  WireProxy(const WireProxy&) = delete;
  WireProxy& operator=(const WireProxy&) = delete;

  uint16_t Port() const { return port_; }

  // Waits, at most timeoutMs, until `count` connections in all have ended on both sides,
  // so that everything they carried is in the recording.
  bool WaitForClosed(int count, int timeoutMs = 10000);
  int Closed() const { return closed_; }

  struct Chunk {
    bool fromClient;
    int connection;  // 1 for the first connection accepted, and so on
    std::string bytes;
  };
  // Everything relayed so far, piece by piece as it was read.
  std::vector<Chunk> Chunks() const;
  // All bytes one side sent; connection 0 means all connections, one after another.
  std::string FromClient(int connection = 0) const;
  std::string FromServer(int connection = 0) const;
  // The client's bytes cut into lines without CR LF (a last partial line included).
  std::vector<std::string> ClientLines(int connection = 0) const;

 private:
  WireProxy();
  std::string side(bool fromClient, int connection) const;

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<QProcess> process_;
  std::string record_;
  std::string output_;
  uint16_t port_ = 0;
  int closed_ = 0;
};

// The TLS record layer of one direction of a connection: content type (20 change cipher
// spec, 21 alert, 22 handshake, 23 application data) and, for handshake records, the
// type of the first handshake message (1 = ClientHello; meaningless once encrypted).
struct TlsRecord {
  int type = 0;
  size_t length = 0;
  int firstByte = -1;
};
// Parses records from the start of bytes; a trailing incomplete record is left out and
// its start reported in *rest when rest is given.
std::vector<TlsRecord> TlsRecords(const std::string& bytes, size_t* rest = nullptr);

// True when the client's side of a TLS connection (from its ClientHello on) shows it gave
// up the handshake before it could have sent anything of its own: with TLS 1.2 it sent no
// key exchange (every handshake record is a ClientHello) and nothing encrypted; with
// TLS 1.3 its encrypted bytes are too few for a Finished message (at most one 19-byte
// encrypted alert). Such a client has sent no USER, PASS, AUTH or MAIL.
bool ClientAbandonedHandshake(const std::string& clientBytes);
