#include "RealMailServers.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

namespace fs = std::filesystem;

namespace {

constexpr int kStartMs = 20000;
constexpr int kCommandMs = 20000;
constexpr int kStopMs = 10000;

// Debian's interpreter carries aiosmtpd; one earlier on PATH may not.
QString python() {
  return QFile::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3") : "python3";
}

QString script() {
  return QStringLiteral(CORVANE_SCRIPTS_DIR "/testservers.py");
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string lastLines(const fs::path& path) {
  std::string text = readFile(path);
  if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
  return text;
}

// Maildir names start with "seconds.Mmicroseconds"; Dovecot numbers messages in that order.
std::tuple<unsigned long long, unsigned long long, std::string> arrivalKey(const std::string& name) {
  unsigned long long seconds = 0, micros = 0;
  std::istringstream in(name);
  char dot = 0, m = 0;
  in >> seconds >> dot >> m >> micros;
  return {seconds, micros, name};
}

// Certificates are the same for every server set; made once per test process, they save
// a fifth of a second on each start.
QString sharedCertificates() {
  static QTemporaryDir dir(QDir::tempPath() + "/corvane-certs-XXXXXX");
  return dir.path() + "/certs";
}

bool fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

}  // namespace

RealMailServers::RealMailServers() = default;

std::unique_ptr<RealMailServers> RealMailServers::Start(std::string* why, bool inMemory) {
  return launch({}, why, inMemory);
}

std::unique_ptr<RealMailServers> RealMailServers::StartTls(TestCertificate certificate, std::string* why) {
  const char* variant = "trusted";
  switch (certificate) {
    case TestCertificate::Trusted:
      break;
    case TestCertificate::SelfSigned:
      variant = "selfsigned";
      break;
    case TestCertificate::NameMismatch:
      variant = "mismatch";
      break;
    case TestCertificate::Expired:
      variant = "expired";
      break;
  }
  return launch({"--tls", "--cert", variant, "--certs", sharedCertificates().toStdString()}, why);
}

std::unique_ptr<RealMailServers> RealMailServers::StartOAuth(const std::string& user, std::string* why) {
  return launch({"--tls", "--certs", sharedCertificates().toStdString(), "--oauth", user}, why);
}

std::string RealMailServers::OAuthControl(const std::string& json) const {
  return OAuthPost("/control", json);
}

std::string RealMailServers::OAuthPost(const std::string& path, const std::string& form) const {
  QNetworkAccessManager network;
  QNetworkRequest request(QUrl(QString::fromStdString(OAuthUrl() + path)));
  request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
  std::unique_ptr<QNetworkReply> reply(network.post(request, QByteArray::fromStdString(form)));
  const QDeadlineTimer deadline(kCommandMs);
  while (!reply->isFinished() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return reply->readAll().toStdString();
}

std::unique_ptr<RealMailServers> RealMailServers::StartWith(const std::vector<std::string>& options, std::string* why) {
  return launch(options, why);
}

std::unique_ptr<RealMailServers> RealMailServers::launch(const std::vector<std::string>& options, std::string* why,
                                                         bool inMemory) {
  std::unique_ptr<RealMailServers> servers(new RealMailServers);
  const QString base = inMemory && QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
  servers->dir_ = std::make_unique<QTemporaryDir>(base + "/corvane-servers-XXXXXX");
  if (!servers->dir_->isValid()) {
    fail(why, "cannot create a temporary folder: " + servers->dir_->errorString().toStdString());
    return nullptr;
  }
  servers->folder_ = servers->dir_->path().toStdString();
  const std::string log = servers->folder_ + "/testservers.log";

  auto& process = servers->process_;
  process = std::make_unique<QProcess>();
  process->setStandardErrorFile(QString::fromStdString(log));
  QStringList arguments{script(), "--dir", QString::fromStdString(servers->folder_)};
  for (const auto& option : options) arguments << QString::fromStdString(option);
  process->start(python(), arguments);
  if (!process->waitForStarted(kStartMs)) {
    fail(why, "cannot start " + script().toStdString() + ": " + process->errorString().toStdString());
    return nullptr;
  }
  QDeadlineTimer deadline(kStartMs);
  std::string output;
  // The script prints every port and path, then READY=1 as the last line.
  while (servers->env_.count("READY") == 0) {
    if (!process->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
      const bool exited = process->state() == QProcess::NotRunning;
      if (exited || deadline.hasExpired()) {
        fail(why, std::string(exited ? "test servers exited" : "test servers did not start in time") + "\n" +
                      lastLines(log) + lastLines(servers->folder_ + "/dovecot.log"));
        return nullptr;
      }
      continue;
    }
    output += process->readAllStandardOutput().toStdString();
    for (size_t end; (end = output.find('\n')) != std::string::npos; output.erase(0, end + 1)) {
      const std::string line = output.substr(0, end);
      const size_t equals = line.find('=');
      if (equals != std::string::npos) servers->env_[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return servers;
}

uint16_t RealMailServers::port(const std::string& key) const {
  const std::string text = value(key);
  return text.empty() ? 0 : static_cast<uint16_t>(std::stoi(text));
}

std::string RealMailServers::value(const std::string& key) const {
  const auto found = env_.find(key);
  return found == env_.end() ? std::string() : found->second;
}

RealMailServers::~RealMailServers() {
  if (!process_ || process_->state() == QProcess::NotRunning) return;
  // End of input is the script's cue to stop both servers and exit.
  process_->closeWriteChannel();
  if (process_->waitForFinished(kStopMs)) return;
  process_->terminate();
  if (process_->waitForFinished(kStopMs)) return;
  process_->kill();
  process_->waitForFinished(kStopMs);
}

bool RealMailServers::runScript(const std::vector<std::string>& arguments, const std::string& input,
                                std::string* why) const {
  QStringList args{script()};
  for (const auto& argument : arguments) args << QString::fromStdString(argument);
  QProcess process;
  process.start(python(), args);
  if (!process.waitForStarted(kCommandMs)) return fail(why, process.errorString().toStdString());
  process.write(input.data(), static_cast<qint64>(input.size()));
  process.closeWriteChannel();
  if (!process.waitForFinished(kCommandMs)) {
    process.kill();
    process.waitForFinished(kCommandMs);
    return fail(why, "testservers.py did not finish in time");
  }
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    return fail(why, process.readAllStandardError().toStdString());
  return true;
}

void RealMailServers::AddUser(const std::string& user, const std::string& password) {
  std::string why;
  if (!runScript({"adduser", "--dir", folder_, "--user", user + ":" + password}, "", &why))
    ADD_FAILURE() << "AddUser(" << user << "): " << why;
}

void RealMailServers::Deliver(const std::string& user, const std::string& message) {
  std::string why;
  if (!runScript({"deliver", "--dir", folder_, "--user", user, "-"}, message, &why))
    ADD_FAILURE() << "Deliver(" << user << "): " << why;
}

std::vector<std::string> RealMailServers::Mailbox(const std::string& user) const {
  std::vector<std::pair<decltype(arrivalKey("")), fs::path>> files;
  const fs::path maildir = fs::path(folder_) / "mail" / user / "Maildir";
  for (const char* sub : {"new", "cur"}) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(maildir / sub, error))
      if (entry.is_regular_file()) files.emplace_back(arrivalKey(entry.path().filename().string()), entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> messages;
  for (const auto& file : files) messages.push_back(readFile(file.second));
  return messages;
}

void RealMailServers::ScriptSmtp(const std::vector<std::string>& faults) {
  std::string text;
  for (const std::string& fault : faults) text += fault + "\n";
  const fs::path path = fs::path(folder_) / "smtp-faults.txt";
  const fs::path temporary = path.string() + ".new";
  std::ofstream(temporary, std::ios::binary) << text;
  fs::rename(temporary, path);
}

std::vector<std::string> RealMailServers::SmtpReceived(size_t first) const {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::path(folder_) / "smtp", error))
    if (entry.path().extension() == ".eml") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> messages;
  for (size_t i = first; i < files.size(); ++i) messages.push_back(readFile(files[i]));
  return messages;
}

std::vector<std::string> RealMailServers::SmtpCommands(const std::string& server) const {
  std::ifstream in(fs::path(folder_) / "smtp-commands.log", std::ios::binary);
  const std::string prefix = server + " ";
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  return lines;
}

std::string RealMailServers::Pop3Log() const {
  return readFile(fs::path(folder_) / "dovecot.log");
}
