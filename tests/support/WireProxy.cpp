#include "WireProxy.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

constexpr int kStartMs = 20000;
constexpr int kStopMs = 10000;

QString python() {
  return QFile::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3") : "python3";
}

bool fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

WireProxy::WireProxy() = default;

std::unique_ptr<WireProxy> WireProxy::Start(uint16_t targetPort, WireDelays delays, std::string* why) {
  std::unique_ptr<WireProxy> proxy(new WireProxy);
  proxy->dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/corvane-proxy-XXXXXX");
  if (!proxy->dir_->isValid()) {
    fail(why, "cannot create a temporary folder");
    return nullptr;
  }
  proxy->record_ = proxy->dir_->path().toStdString() + "/wire";
  const QString errors = proxy->dir_->path() + "/proxy.log";
  proxy->process_ = std::make_unique<QProcess>();
  proxy->process_->setStandardErrorFile(errors);
  proxy->process_->start(python(), {QStringLiteral(CORVANE_SCRIPTS_DIR "/testservers.py"), "proxy", "--target",
                                    QString::number(targetPort), "--record", QString::fromStdString(proxy->record_),
                                    "--up-delay-ms", QString::number(delays.clientToServerMs), "--down-delay-ms",
                                    QString::number(delays.serverToClientMs)});
  QDeadlineTimer deadline(kStartMs);
  while (proxy->port_ == 0) {
    if (!proxy->process_->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
      if (proxy->process_->state() == QProcess::NotRunning || deadline.hasExpired()) {
        fail(why, "the relay did not start: " + readFile(errors.toStdString()));
        return nullptr;
      }
      continue;
    }
    proxy->output_ += proxy->process_->readAllStandardOutput().toStdString();
    const size_t at = proxy->output_.find("PROXY_PORT=");
    const size_t end = proxy->output_.find('\n', at);
    if (at != std::string::npos && end != std::string::npos) {
      proxy->port_ = static_cast<uint16_t>(std::stoi(proxy->output_.substr(at + 11, end - at - 11)));
      proxy->output_.erase(0, end + 1);
    }
  }
  return proxy;
}

WireProxy::~WireProxy() {
  if (!process_ || process_->state() == QProcess::NotRunning) return;
  process_->closeWriteChannel();  // end of input: the relay stops
  if (process_->waitForFinished(kStopMs)) return;
  process_->kill();
  process_->waitForFinished(kStopMs);
}

bool WireProxy::WaitForClosed(int count, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    output_ += process_->readAllStandardOutput().toStdString();
    for (size_t end; (end = output_.find('\n')) != std::string::npos; output_.erase(0, end + 1))
      if (output_.rfind("CLOSED ", 0) == 0) closed_ = std::stoi(output_.substr(7, end - 7));
    if (closed_ >= count) return true;
    if (deadline.hasExpired() || process_->state() == QProcess::NotRunning) return false;
    process_->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
  }
}

std::vector<WireProxy::Chunk> WireProxy::Chunks() const {
  // Each piece is a header line "> ID LEN", "< ID LEN" or "x ID 0", then LEN bytes.
  const std::string wire = readFile(record_);
  std::vector<Chunk> chunks;
  size_t at = 0;
  while (at < wire.size()) {
    const size_t end = wire.find('\n', at);
    if (end == std::string::npos) break;
    std::istringstream header(wire.substr(at, end - at));
    char mark = 0;
    int connection = 0;
    size_t length = 0;
    header >> mark >> connection >> length;
    if (!header || end + 1 + length > wire.size()) break;  // a piece still being written
    if (mark == '>' || mark == '<') chunks.push_back({mark == '>', connection, wire.substr(end + 1, length)});
    at = end + 1 + length;
  }
  return chunks;
}

std::string WireProxy::side(bool fromClient, int connection) const {
  std::string bytes;
  for (const Chunk& chunk : Chunks())
    if (chunk.fromClient == fromClient && (connection == 0 || chunk.connection == connection)) bytes += chunk.bytes;
  return bytes;
}

std::string WireProxy::FromClient(int connection) const {
  return side(true, connection);
}

std::string WireProxy::FromServer(int connection) const {
  return side(false, connection);
}

std::vector<std::string> WireProxy::ClientLines(int connection) const {
  const std::string sent = FromClient(connection);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = sent.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(sent.substr(start, end - start));
  if (start < sent.size()) lines.push_back(sent.substr(start));
  return lines;
}

std::vector<TlsRecord> TlsRecords(const std::string& bytes, size_t* rest) {
  std::vector<TlsRecord> records;
  size_t at = 0;
  while (at + 5 <= bytes.size()) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const size_t length = static_cast<size_t>(byte(3)) << 8 | byte(4);
    if (at + 5 + length > bytes.size()) break;
    records.push_back({byte(0), length, length > 0 ? byte(5) : -1});
    at += 5 + length;
  }
  if (rest) *rest = at;
  return records;
}

bool ClientAbandonedHandshake(const std::string& clientBytes) {
  // A TLS 1.3 Finished alone is 4 + 32 + 1 + 16 bytes encrypted; an encrypted alert is 19.
  constexpr size_t kEncryptedAlert = 19;
  size_t rest = 0;
  const std::vector<TlsRecord> records = TlsRecords(clientBytes, &rest);
  if (records.empty() || rest != clientBytes.size()) return false;
  size_t encrypted = 0;
  for (const TlsRecord& record : records) {
    switch (record.type) {
      case 20:  // change cipher spec: TLS 1.3 sends it for middleboxes, no keys follow from it
      case 21:  // a plain alert
        break;
      case 22:
        if (record.firstByte != 1) return false;
        break;
      case 23:
        encrypted += record.length;
        break;
      default:
        return false;
    }
  }
  return encrypted <= kEncryptedAlert;
}
