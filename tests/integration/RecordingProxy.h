#pragma once
// A TCP relay on 127.0.0.1 in front of a real server: it passes bytes both ways and keeps
// what the client sent, so a test can read the exact command sequence off the wire. It
// runs on the test's own event loop, which the program's waits keep turning.
#include <QObject>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QTcpServer;

class RecordingProxy {
 public:
  explicit RecordingProxy(uint16_t targetPort);
  ~RecordingProxy();
  RecordingProxy(const RecordingProxy&) = delete;
  RecordingProxy& operator=(const RecordingProxy&) = delete;

  uint16_t Port() const;
  // Every byte clients sent, over all connections, in order.
  const std::string& Sent() const { return sent_; }
  // The same split into lines without their CR LF.
  std::vector<std::string> Commands() const;
  int Connections() const { return connections_; }
  // Cuts every open connection at once, as a server that goes away would.
  void DropAll();
  // The next connection passes only the first `bytes` bytes one way (the client's when
  // fromClient), then breaks: the side that was to receive more gets what came and a close,
  // the other side a reset.
  void CutNext(bool fromClient, size_t bytes);
  // What one side of connection n (from 1) wrote, as far as the proxy read it, passed on
  // or not.
  std::string Wrote(int connection, bool fromClient) const;

 private:
  uint16_t target_;
  QObject context_;  // parent of every socket, so they go with the proxy
  QTcpServer* server_;
  struct Cut {
    bool fromClient = false;
    size_t bytes = 0;
  };
  std::string sent_;
  int connections_ = 0;
  std::optional<Cut> nextCut_;
  // Per connection, the client's side then the server's: what was passed on, and all read.
  std::vector<std::array<size_t, 2>> carried_;
  std::vector<std::array<std::string, 2>> wrote_;
};
