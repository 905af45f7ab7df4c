#include "RealMailServers.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
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

bool fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

}  // namespace

RealMailServers::RealMailServers() = default;

std::unique_ptr<RealMailServers> RealMailServers::Start(std::string* why) {
  std::unique_ptr<RealMailServers> servers(new RealMailServers);
  servers->dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/corvane-servers-XXXXXX");
  if (!servers->dir_->isValid()) {
    fail(why, "cannot create a temporary folder: " + servers->dir_->errorString().toStdString());
    return nullptr;
  }
  servers->folder_ = servers->dir_->path().toStdString();
  const std::string log = servers->folder_ + "/testservers.log";

  auto& process = servers->process_;
  process = std::make_unique<QProcess>();
  process->setStandardErrorFile(QString::fromStdString(log));
  process->start(python(), {script(), "--dir", QString::fromStdString(servers->folder_)});
  if (!process->waitForStarted(kStartMs)) {
    fail(why, "cannot start " + script().toStdString() + ": " + process->errorString().toStdString());
    return nullptr;
  }
  QDeadlineTimer deadline(kStartMs);
  std::string output;
  while (servers->pop3Port_ == 0 || servers->smtpPort_ == 0) {
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
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("POP3_PORT=", 0) == 0) servers->pop3Port_ = static_cast<uint16_t>(std::stoi(line.substr(10)));
      if (line.rfind("SMTP_PORT=", 0) == 0) servers->smtpPort_ = static_cast<uint16_t>(std::stoi(line.substr(10)));
    }
  }
  return servers;
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

std::vector<std::string> RealMailServers::SmtpReceived() const {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::path(folder_) / "smtp", error))
    if (entry.path().extension() == ".eml") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> messages;
  for (const auto& file : files) messages.push_back(readFile(file));
  return messages;
}
