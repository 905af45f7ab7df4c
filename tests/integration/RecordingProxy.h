#pragma once
// A TCP relay on 127.0.0.1 in front of a real server: it passes bytes both ways and keeps
// what the client sent, so a test can read the exact command sequence off the wire. It
// runs on the test's own event loop, which the program's waits keep turning.
#include <QObject>
#include <cstdint>
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

 private:
  uint16_t target_;
  QObject context_;  // parent of every socket, so they go with the proxy
  QTcpServer* server_;
  std::string sent_;
  int connections_ = 0;
};
